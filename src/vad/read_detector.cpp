#include "vad/read_detector.hpp"

namespace murello {

ReadDetector::ReadDetector(const DetectorConfig& config, std::optional<DetectorQueue> queue)
    : config_(config), queue_(std::move(queue)) {}

Result<ReadDetector, CoreError> ReadDetector::create(const DetectorConfig& config) {
  if (config.kind != DetectorKind::Model) return ReadDetector(config, std::nullopt);
  auto queue = DetectorQueue::create(DetectorKind::Model, config.delivered_rate_hz);
  if (!queue) return std::move(queue).error();
  return ReadDetector(config, std::move(queue).value());
}

Result<void, CoreError> ReadDetector::score(std::span<const float> signal, uint16_t channels,
                                            bool end) {
  if (!active()) return {};
  mono_.clear();
  append_detector_mono(signal, channels, config_.detector_source, mono_);
  if (config_.kind == DetectorKind::Energy) {
    // One read's signal is what the one pump step that yielded samples gave (the steps
    // before it gave none): at most 1.6 s at the lowest input rate, within the two
    // seconds a queue would keep, so scoring it directly is the same.
    if (!mono_.empty()) probability_ = energy_score(mono_);
    return {};
  }
  if (auto pushed = queue_->push(mono_); !pushed) return pushed;
  if (end) queue_->flush();
  return score_model();
}

Result<void, CoreError> ReadDetector::score_model() {
  drained_.clear();
  queue_->drain(drained_);
  if (drained_.empty()) return {};
  if (!model_) {
    auto created = ModelDetector::create(config_.model_path, config_.ort_library_path,
                                         queue_->rate_hz(), config_.threshold);
    if (!created) return std::move(created).error();
    model_.emplace(std::move(created).value());
  }
  auto scored = model_->step(drained_);
  if (!scored) return std::move(scored).error();
  probability_ = scored->probability;
  return {};
}

}  // namespace murello
