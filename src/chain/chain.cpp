#include "chain/chain.hpp"

#include <utility>

#include "chain/channel_stages.hpp"
#include "chain/filter.hpp"
#include "chain/finite.hpp"
#include "chain/gain.hpp"
#include "chain/planar.hpp"
#include "chain/resample_stage.hpp"

namespace murello {

namespace {

using StageList = std::vector<std::unique_ptr<Stage>>;

Result<void, CoreError> add_built(Result<std::unique_ptr<Stage>, CoreError> built,
                                  StageList& stages) {
  if (!built) return std::move(built).error();
  stages.push_back(std::move(built).value());
  return {};
}

// Channel selection, de-interleaving, resampling, echo cancellation. `channels` comes in
// as the source's count and leaves as the count after these stages.
Result<void, CoreError> build_structural(const ChainFormat& format,
                                         const ConditioningConfig& config,
                                         const StageFactories& factories, StageList& stages,
                                         uint16_t& channels, uint64_t& delay_frames) {
  if (config.channel_map) {
    stages.push_back(std::make_unique<ChannelMapStage>(*config.channel_map, format.input_channels));
  } else if (format.output_channels < format.input_channels) {
    stages.push_back(std::make_unique<DownmixStage>(format.input_channels));
  }
  if (!stages.empty()) channels = stages.back()->output_channels(channels);
  if (channels >= 2) stages.push_back(std::make_unique<DeinterleaveStage>());
  const uint16_t stage_channels = std::max<uint16_t>(channels, 1);
  if (format.input_rate_hz != format.output_rate_hz) {
    auto resample =
        ResampleStage::create(format.input_rate_hz, format.output_rate_hz, stage_channels);
    if (!resample) return std::move(resample).error();
    delay_frames = resample->group_delay_frames();
    stages.push_back(std::make_unique<ResampleStage>(std::move(resample).value()));
  }
  if (config.echo) {
    if (!factories.echo_canceller) {
      return CoreError(ErrorKind::AecConfigInvalid, "no echo canceller is available in this build");
    }
    auto added = add_built(factories.echo_canceller(*config.echo, stage_channels,
                                                    format.output_rate_hz), stages);
    if (!added) return added;
  }
  return {};
}

// DC removal, denoiser, high-pass, AGC, limiter, each when configured, at `channels`.
Result<void, CoreError> build_conditioning(const ChainFormat& format,
                                           const ConditioningConfig& config,
                                           const StageFactories& factories, StageList& stages,
                                           uint16_t channels) {
  const uint16_t stage_channels = std::max<uint16_t>(channels, 1);
  const uint32_t rate_hz = format.output_rate_hz;
  if (config.dc_removal) stages.push_back(std::make_unique<DcRemovalStage>(stage_channels));
  if (config.denoise_model_path) {
    if (!factories.denoiser) {
      return CoreError(ErrorKind::OnnxBackendFailed, "denoiser",
                       "no denoiser is available in this build");
    }
    auto added = add_built(factories.denoiser(config, stage_channels, rate_hz), stages);
    if (!added) return added;
  }
  if (config.highpass != HighpassCutoff::None) {
    stages.push_back(std::make_unique<HighpassStage>(config.highpass, rate_hz, stage_channels));
  }
  if (config.agc_db) stages.push_back(std::make_unique<AgcStage>(*config.agc_db, rate_hz));
  if (config.limiter_db) {
    stages.push_back(std::make_unique<LimiterStage>(*config.limiter_db, rate_hz));
  }
  return {};
}

uint16_t channels_after(const StageList& stages, uint16_t channels) {
  for (const auto& stage : stages) channels = stage->output_channels(channels);
  return channels;
}

}  // namespace

Result<std::optional<Chain>, CoreError> Chain::create(const ChainFormat& format,
                                                      const ConditioningConfig& config,
                                                      const StageFactories& factories) {
  StageList structural;
  StageList conditioning;
  uint16_t channels = format.input_channels;
  uint64_t delay_frames = 0;
  if (auto built = build_structural(format, config, factories, structural, channels,
                                    delay_frames);
      !built) {
    return std::move(built).error();
  }
  if (auto built = build_conditioning(format, config, factories, conditioning, channels); !built) {
    return std::move(built).error();
  }
  if (structural.empty() && conditioning.empty()) return std::optional<Chain>();
  std::optional<Chain> chain(
      Chain(std::move(structural), std::move(conditioning), format.input_channels));
  chain->delay_frames_ = delay_frames;
  return chain;
}

Chain::Chain(StageList structural, StageList conditioning, uint16_t input_channels)
    : structural_(std::move(structural)),
      conditioning_(std::move(conditioning)),
      input_channels_(input_channels),
      structural_channels_(channels_after(structural_, input_channels)),
      output_channels_(channels_after(conditioning_, structural_channels_)) {}

Result<std::span<const float>, CoreError> Chain::process(std::span<const float> in) {
  current_.clear();
  append_bounded(in, current_);
  uint16_t channels = input_channels_;
  if (auto ran = run(structural_, channels); !ran) return std::move(ran).error();
  if (has_detector_signal()) copy_detector_signal(channels);
  if (auto ran = run(conditioning_, channels); !ran) return std::move(ran).error();
  interleave_current(channels);
  return std::span<const float>(current_);
}

Result<void, CoreError> Chain::flush(std::vector<float>& out) {
  current_.clear();
  uint16_t channels = input_channels_;
  if (auto ran = run_and_flush(structural_, channels); !ran) return ran;
  if (has_detector_signal()) copy_detector_signal(channels);
  if (auto ran = run_and_flush(conditioning_, channels); !ran) return ran;
  interleave_current(channels);
  out.insert(out.end(), current_.begin(), current_.end());
  return {};
}

std::optional<std::vector<EchoMetrics>> Chain::echo_metrics() const {
  for (const auto& stage : structural_) {
    if (auto metrics = stage->echo_metrics()) return metrics;
  }
  return std::nullopt;
}

Result<void, CoreError> Chain::run(StageList& stages, uint16_t& channels) {
  for (auto& stage : stages) {
    scratch_.clear();
    if (auto ran = stage->process(current_, channels, scratch_); !ran) return ran;
    zero_non_finite(scratch_);
    std::swap(current_, scratch_);
    channels = stage->output_channels(channels);
  }
  return {};
}

// Each stage processes what the stages before it produced, then gives up its tail. A
// planar tail is merged per channel so each channel's run stays contiguous.
Result<void, CoreError> Chain::run_and_flush(StageList& stages, uint16_t& channels) {
  for (auto& stage : stages) {
    const uint16_t channels_out = stage->output_channels(channels);
    scratch_.clear();
    if (!current_.empty()) {
      if (auto ran = stage->process(current_, channels, scratch_); !ran) return ran;
    }
    if (channels_out < 2) {
      if (auto flushed = stage->flush(scratch_); !flushed) return flushed;
      std::swap(current_, scratch_);
    } else {
      tail_.clear();
      if (auto flushed = stage->flush(tail_); !flushed) return flushed;
      current_.clear();
      append_planar_runs(scratch_, tail_, channels_out, current_);
    }
    zero_non_finite(current_);
    channels = channels_out;
  }
  return {};
}

void Chain::copy_detector_signal(uint16_t channels) {
  detector_.clear();
  if (channels >= 2) {
    interleave(current_, channels, detector_);
  } else {
    detector_.assign(current_.begin(), current_.end());
  }
}

void Chain::interleave_current(uint16_t channels) {
  if (channels < 2) return;
  scratch_.clear();
  interleave(current_, channels, scratch_);
  std::swap(current_, scratch_);
}

}  // namespace murello
