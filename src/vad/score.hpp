// Voice activity detection: the energy score, the detector signal and the model detector.
//
// Conventions: detector blocks are mono 32-bit float samples at the detector's rate (hz);
// windows and contexts count samples. Probabilities are single precision in [0, 1] as
// the model reports them. The model detector runs the voice-activity network on fixed
// windows (512 samples at 16000 hz, 256 at 8000 hz), each preceded by the last eighth of
// a window of the previous window (zeros at first), carrying the network's recurrent
// state from window to window; samples short of a window wait for the next step.
//
// Threads: a detector belongs to one source and is used by one thread at a time.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "onnx/session.hpp"
#include "util/result.hpp"

namespace murello {

inline constexpr size_t kVadStateLength = 256;  // the network's state, 2 x 1 x 128

struct VadScore {
  float probability = 0.0f;
  bool is_speech = false;
};

// RMS of the block: squares summed in double precision in sample order, rounded to
// float. An empty block scores 0.
float energy_score(std::span<const float> mono);

// Appends the mono detector signal of an interleaved block: channel `source` of each
// frame when given, else the mean of the frame's channels (float sum divided by the
// channel count); a mono block is copied. A trailing partial frame is ignored.
void append_detector_mono(std::span<const float> interleaved, uint16_t channels,
                          std::optional<uint16_t> source, std::vector<float>& out);

class ModelDetector {
 public:
  // Errors, in this order: VadSampleRateUnsupported (rate not 8000 or 16000),
  // VadThresholdOutOfRange (threshold outside 0.0 ... 1.0), the runtime's loading errors,
  // then the session's, with VadModelLoadFailed for the model file.
  static Result<ModelDetector, CoreError> create(
      const std::filesystem::path& model, const std::optional<std::filesystem::path>& ort_library,
      uint32_t rate_hz, float threshold);

  // Appends `mono` to the pending samples and runs every whole window. Returns the best
  // probability of the windows run (NaN ignored) and whether it reaches the threshold.
  // A step that completes no window has no new score and returns the previous step's
  // again, so that a caller reading in blocks shorter than a window does not see speech
  // drop out between windows; (0.0, false) before the first window. Errors: ForkAfterOrtInit, the session-run
  // errors, OnnxBackendFailed for malformed outputs. Windows run before a failure have
  // advanced the state; the failing window is consumed.
  Result<VadScore, CoreError> step(std::span<const float> mono);

  uint32_t rate_hz() const { return rate_hz_; }
  size_t window() const { return window_; }
  size_t context_length() const { return window_ / 8; }
  float threshold() const { return threshold_; }
  // Samples received but not yet part of a window.
  size_t pending() const { return pending_.size(); }

 private:
  ModelDetector(ModelSession session, uint32_t rate_hz, float threshold);
  Result<float, CoreError> run_window(std::span<const float> window);

  ModelSession session_;
  uint32_t rate_hz_;
  size_t window_;
  float threshold_;
  std::vector<float> pending_;
  std::vector<float> input_;  // context followed by the window
  std::array<float, kVadStateLength> state_{};
  std::array<int64_t, 1> rate_value_;
  std::vector<TensorOutput> outputs_;
  VadScore latest_;
};

}  // namespace murello
