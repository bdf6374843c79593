#include "capture/voice_detector.hpp"

#include <utility>

namespace murello {

Result<CaptureDetector, CoreError> CaptureDetector::create(const DetectorConfig& config) {
  std::optional<ModelDetector> model;
  if (config.kind == DetectorKind::Model) {
    auto built = ModelDetector::create(config.model_path, config.ort_library_path,
                                       config.delivered_rate_hz, config.threshold);
    if (!built) return std::move(built).error();
    model.emplace(std::move(built).value());
  }
  return CaptureDetector(config.kind, config.detector_source, std::move(model));
}

CaptureDetector::CaptureDetector(DetectorKind kind, std::optional<uint16_t> source,
                                 std::optional<ModelDetector> model)
    : kind_(kind), source_(source), model_(std::move(model)) {}

// Moves happen only while the detector is being built, before any thread shares it.
CaptureDetector::CaptureDetector(CaptureDetector&& other) noexcept
    : kind_(other.kind_),
      source_(other.source_),
      model_(std::move(other.model_)),
      probability_(other.probability()) {}

Result<void, CoreError> CaptureDetector::score(const CaptureBlock& block) {
  if (!active()) return {};
  std::lock_guard lock(mutex_);
  mono_.clear();
  if (block.detector.empty()) {
    append_detector_mono(block.samples, block.channels, source_, mono_);
  } else {
    append_detector_mono(block.detector, block.detector_channels, source_, mono_);
  }
  float score = 0.0f;
  if (kind_ == DetectorKind::Energy) {
    score = energy_score(mono_);
  } else {
    auto stepped = model_->step(mono_);
    if (!stepped) return std::move(stepped).error();
    score = stepped->probability;
  }
  probability_.store(score, std::memory_order_relaxed);
  return {};
}

}  // namespace murello
