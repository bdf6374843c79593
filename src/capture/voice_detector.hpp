// CaptureDetector: the voice-activity slot of a capture source: the model detector
// (built with the source, so model errors surface before any capture), the energy
// switch, or nothing; and the latest score.
//
// Conventions: a block is scored from its detector signal (or the block itself), made
// mono by the detector source channel or the channels' mean. The model detector runs at
// the delivered rate (8000 or 16000 hz) and keeps its windows, context and state across
// blocks and across restarts of the stream.
//
// Threads: score() may be called from several readers; a mutex serialises the model.
// probability() may be read from any thread at any time.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include "core/config.hpp"
#include "core/error.hpp"
#include "capture/capture_pipeline.hpp"
#include "util/result.hpp"
#include "vad/score.hpp"

namespace murello {

class CaptureDetector {
 public:
  // Builds the model detector for a Model configuration (VadSampleRateUnsupported,
  // VadThresholdOutOfRange, then the runtime's and the model's loading errors).
  static Result<CaptureDetector, CoreError> create(const DetectorConfig& config);

  CaptureDetector(CaptureDetector&& other) noexcept;

  bool active() const { return kind_ != DetectorKind::None; }

  // Scores one handed-out block and stores the score. A model error is returned and
  // leaves the stored score as it was.
  Result<void, CoreError> score(const CaptureBlock& block);

  float probability() const { return probability_.load(std::memory_order_relaxed); }

 private:
  CaptureDetector(DetectorKind kind, std::optional<uint16_t> source,
                  std::optional<ModelDetector> model);

  const DetectorKind kind_;
  const std::optional<uint16_t> source_;
  std::mutex mutex_;
  std::optional<ModelDetector> model_;
  std::vector<float> mono_;
  std::atomic<float> probability_{0.0f};
};

}  // namespace murello
