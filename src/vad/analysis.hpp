// Whole-recording voice-activity analysis: one probability per detector window, and the
// speech windows merged into segments.
//
// Conventions: times are seconds (double) from the start of the recording; window k
// spans [k * d, (k + 1) * d) with d = window / detector rate (0.032 s at both rates).
// Blocks come in at the delivered rate, interleaved; the analyzer makes them mono,
// resamples them when the detector needs it and runs every whole window on its own. A
// final remainder shorter than a window is dropped. Hold-offs are milliseconds.
//
// Threads: one analyzer per analysis, used by one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "core/error.hpp"
#include "vad/score.hpp"
#include "vad/queue.hpp"
#include "util/result.hpp"

namespace murello {

struct AnalysisWindow {
  double start_s;
  double end_s;
  float probability;
  bool is_speech;  // threshold <= probability
};

struct SpeechSegment {
  double start_s;
  double end_s;
};

struct Analysis {
  std::vector<AnalysisWindow> windows;
  std::vector<SpeechSegment> segments;
};

// Walks the speech windows in order (the k-th of `windows` is window k, each
// `window_frames` long at `rate_hz`): a window that starts at most `holdoff_ms` after the
// open segment's end extends it; any other opens a new segment. Gaps are compared in
// whole samples, not in rounded seconds, so a gap of exactly the hold-off always merges.
std::vector<SpeechSegment> merge_speech_segments(std::span<const AnalysisWindow> windows,
                                                 uint32_t window_frames, uint32_t rate_hz,
                                                 uint32_t holdoff_ms);

class Analyzer {
 public:
  // A fresh model detector for `config` (its kind must be Model): fails as
  // ModelDetector::create at the detector rate, then as the resampler in front of it.
  static Result<Analyzer, CoreError> create(const DetectorConfig& config);

  // One interleaved block of `channels` channels at the delivered rate, made mono by
  // the configured detector source or by averaging. Errors: the detector step's, or
  // ResampleAfterFlush after finish().
  Result<void, CoreError> add(std::span<const float> interleaved, uint16_t channels);

  // Ends the recording (the resampler's tail is analysed too) and returns the windows and
  // the segments merged with the configured hold-off.
  Result<Analysis, CoreError> finish();

  uint32_t rate_hz() const { return detector_.rate_hz(); }

 private:
  Analyzer(ModelDetector detector, DetectorQueue queue, const DetectorConfig& config);
  Result<void, CoreError> run_windows();

  ModelDetector detector_;
  DetectorQueue queue_;
  std::optional<uint16_t> detector_source_;
  uint32_t holdoff_ms_;
  double window_s_;
  std::vector<float> mono_;
  std::vector<float> work_;  // detector-rate samples not yet part of a window
  std::vector<AnalysisWindow> windows_;
};

}  // namespace murello
