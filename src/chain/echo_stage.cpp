#include "chain/echo_stage.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "chain/resample_stage.hpp"

namespace murello {

aec::EngineConfig echo_engine_config(const EchoConfig& echo, uint32_t rate_hz) {
  aec::EngineConfig config;
  config.sample_rate_hz = rate_hz;
  config.tail_ms = echo.tail_ms.value_or(200);
  config.max_delay_ms = 250;
  config.ceiling_ms = 1000;
  config.suppression = echo.suppression == EchoSuppression::Off ? aec::Suppression::kOff
                                                                 : aec::Suppression::kConservative;
  config.transition = aec::TransitionConfig{1, 100, 200};
  return config;
}

CoreError core_error_from_aec(const aec::AecError& error) {
  if (error.kind == aec::AecErrorKind::kSampleRate) {
    return CoreError(ErrorKind::AecSampleRateUnsupported);
  }
  return CoreError(ErrorKind::AecConfigInvalid, error.message);
}

EchoStage::EchoStage(std::vector<aec::Tau> engines, std::shared_ptr<EchoReferenceQueue> queue,
                     std::optional<Resampler> reference_resampler, uint32_t rate_hz)
    : engines_(std::move(engines)),
      queue_(std::move(queue)),
      reference_resampler_(std::move(reference_resampler)),
      rate_hz_(rate_hz),
      pending_(engines_.size() > 1 ? engines_.size() : 0),
      outputs_(engines_.size()) {}

Result<std::unique_ptr<Stage>, CoreError> EchoStage::create(const EchoConfig& echo,
                                                            uint16_t channels,
                                                            uint32_t rate_hz) {
  const aec::EngineConfig config = echo_engine_config(echo, rate_hz);
  std::vector<aec::Tau> engines;
  engines.reserve(std::max<uint16_t>(channels, 1));
  for (uint16_t k = 0; k < std::max<uint16_t>(channels, 1); ++k) {
    auto engine = aec::Tau::create(config);
    if (!engine) return core_error_from_aec(engine.error());
    engines.push_back(std::move(engine).value());
  }
  const uint32_t reference_hz = echo.reference_rate_hz != 0 ? echo.reference_rate_hz : rate_hz;
  // A chain built without a queue (nobody pushes a far end) still runs: it pads.
  auto queue = echo.reference ? echo.reference
                              : std::make_shared<EchoReferenceQueue>(reference_hz, 1);
  std::optional<Resampler> resampler;
  if (queue->rate_hz() != rate_hz) {
    auto built = Resampler::create(queue->rate_hz(), rate_hz);
    if (!built) return core_error_from_resampler(built.error());
    resampler = std::move(built).value();
  }
  return std::unique_ptr<Stage>(
      new EchoStage(std::move(engines), std::move(queue), std::move(resampler), rate_hz));
}

void EchoStage::push_far(std::span<const float> far) {
  for (aec::Tau& engine : engines_) engine.push_far(far);
  reference_total_ += far.size();
}

Result<void, CoreError> EchoStage::level_reference(uint64_t capture_total, bool draining) {
  const uint64_t needed = capture_total > reference_total_ ? capture_total - reference_total_ : 0;
  if (needed == 0 && !draining) return {};
  size_t request = static_cast<size_t>(needed);
  if (draining) {
    request = std::numeric_limits<size_t>::max();
  } else if (reference_resampler_) {
    const uint64_t scaled = needed * queue_->rate_hz();
    request = static_cast<size_t>((scaled + rate_hz_ - 1) / rate_hz_);
  }
  taken_.clear();
  const bool remain = queue_->take(request, taken_);
  if (reference_resampler_) {
    far_.clear();
    auto converted = reference_resampler_->process(taken_, far_);
    if (!converted) return core_error_from_resampler(converted.error());
    if (draining) reference_resampler_->flush(far_);
    push_far(far_);
  } else {
    push_far(taken_);
  }
  if (!remain && reference_total_ < capture_total) {
    const uint64_t zeros = capture_total - reference_total_;
    far_.assign(static_cast<size_t>(zeros), 0.0f);
    push_far(far_);
    queue_->add_padded(zeros, rate_hz_);
  }
  return {};
}

void EchoStage::run_engines(const std::vector<std::span<const float>>& runs,
                            std::vector<float>& out) {
  // Every engine gets the same number of samples, so every run it completes has the
  // same length: the output stays planar.
  for (size_t k = 0; k < engines_.size(); ++k) {
    outputs_[k].clear();
    engines_[k].process(runs[k], outputs_[k]);
  }
  for (const auto& run : outputs_) out.insert(out.end(), run.begin(), run.end());
}

Result<void, CoreError> EchoStage::process(std::span<const float> in, uint16_t,
                                           std::vector<float>& out) {
  const size_t count = engines_.size();
  if (count == 1) {
    if (auto levelled = level_reference(capture_total_ + in.size(), false); !levelled) {
      return levelled;
    }
    capture_total_ += in.size();
    engines_[0].process(in, out);
    return {};
  }
  const size_t frames = in.size() / count;
  for (size_t k = 0; k < count; ++k) {
    auto run = in.subspan(k * frames, frames);
    pending_[k].insert(pending_[k].end(), run.begin(), run.end());
  }
  const size_t ready = pending_[0].size() / aec::Tau::kBlock * aec::Tau::kBlock;
  if (ready == 0) return {};
  if (auto levelled = level_reference(capture_total_ + ready, false); !levelled) {
    return levelled;
  }
  capture_total_ += ready;
  runs_.clear();
  for (const auto& pending : pending_) runs_.emplace_back(pending.data(), ready);
  run_engines(runs_, out);
  for (auto& pending : pending_) pending.erase(pending.begin(), pending.begin() + ready);
  return {};
}

Result<void, CoreError> EchoStage::flush(std::vector<float>& out) {
  if (engines_.size() > 1 && !pending_[0].empty()) {
    const size_t rest = pending_[0].size();
    if (auto levelled = level_reference(capture_total_ + rest, false); !levelled) {
      return levelled;
    }
    capture_total_ += rest;
    runs_.assign(pending_.begin(), pending_.end());
    run_engines(runs_, out);
    for (auto& pending : pending_) pending.clear();
  }
  if (auto drained = level_reference(capture_total_, true); !drained) return drained;
  for (size_t k = 0; k < engines_.size(); ++k) {
    outputs_[k].clear();
    engines_[k].flush(outputs_[k]);
  }
  for (const auto& run : outputs_) out.insert(out.end(), run.begin(), run.end());
  return {};
}

std::optional<std::vector<EchoMetrics>> EchoStage::echo_metrics() const {
  std::vector<EchoMetrics> records;
  records.reserve(engines_.size());
  for (const aec::Tau& engine : engines_) {
    const aec::Metrics m = engine.metrics();
    records.push_back(EchoMetrics{m.delay, m.erle_db, m.adaptation_held, m.far_missing,
                                  m.samples_without_delay, m.search_restarts});
  }
  return records;
}

}  // namespace murello
