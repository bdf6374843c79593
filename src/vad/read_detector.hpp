// ReadDetector: the per-read voice-activity score of a file or buffer source.
//
// Conventions: signals come in interleaved at the delivered rate (hz) with their channel
// count; the detector hears them mono (the configured detector source, else the mean of
// the channels). The energy detector scores the RMS of what one read produced. The
// model detector hears its own rate (8000 or 16000 hz; other delivered rates pass
// through a resampler to 16000 hz), keeps its windows, context and state from read to
// read, and is built on the first read that has samples for it.
//
// Threads: owned by one source; one thread at a time.
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

class ReadDetector {
 public:
  // Builds the model detector's resampler when one is needed (its construction errors);
  // nothing for the other kinds.
  static Result<ReadDetector, CoreError> create(const DetectorConfig& config);

  // Scores the detector signal of one read. `end` marks the read that ended the
  // recording: the model detector's resampler gives up its tail. A read without
  // detector samples keeps the previous score. Errors: the model detector's
  // construction and step errors; the read that meets one delivers nothing.
  Result<void, CoreError> score(std::span<const float> signal, uint16_t channels, bool end);

  bool active() const { return config_.kind != DetectorKind::None; }
  // The most recent score; 0.0 before the first.
  float probability() const { return probability_; }

 private:
  ReadDetector(const DetectorConfig& config, std::optional<DetectorQueue> queue);
  Result<void, CoreError> score_model();

  DetectorConfig config_;
  std::optional<DetectorQueue> queue_;  // model detector only
  std::optional<ModelDetector> model_;
  std::vector<float> mono_;
  std::vector<float> drained_;
  float probability_ = 0.0f;
};

}  // namespace murello
