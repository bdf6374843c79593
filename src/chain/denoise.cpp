#include "chain/denoise.hpp"

#include <algorithm>

#include "chain/finite.hpp"
#include "chain/planar.hpp"

namespace murello {
namespace {

constexpr std::string_view kModelName = "FastEnhancer";
constexpr std::array<int64_t, 2> kFrameShape{1, kDenoiseFrame};
constexpr std::array<int64_t, 2> kCache0Shape{1, kDenoiseCache0};
constexpr std::array<int64_t, 3> kCache12Shape{1, 16, 20};

}  // namespace

DenoiserStage::DenoiserStage(ModelSession session, uint16_t channels)
    : session_(std::move(session)), channels_(std::max<uint16_t>(channels, 1)) {
  for (Channel& channel : channels_) channel.pending.reserve(2 * kDenoiseFrame);
}

Result<std::unique_ptr<DenoiserStage>, CoreError> DenoiserStage::create(
    const std::filesystem::path& model, const std::optional<std::filesystem::path>& ort_library,
    uint16_t channels) {
  auto runtime = ort_init(ort_library);
  if (!runtime) return std::move(runtime).error();
  auto session = ModelSession::load(**runtime, model, ModelKind::Denoiser);
  if (!session) return std::move(session).error();
  return std::unique_ptr<DenoiserStage>(new DenoiserStage(std::move(session).value(), channels));
}

Result<void, CoreError> DenoiserStage::run_frame(Channel& channel, std::span<const float> frame,
                                                 std::vector<float>& out) {
  const std::array<TensorInput, 4> inputs{
      TensorInput::floats("wav_in", frame, kFrameShape),
      TensorInput::floats("cache_in_0", channel.cache0, kCache0Shape),
      TensorInput::floats("cache_in_1", channel.cache1, kCache12Shape),
      TensorInput::floats("cache_in_2", channel.cache2, kCache12Shape),
  };
  if (auto ran = session_.run(inputs, outputs_); !ran) return ran;
  auto wav = float_output(outputs_, kModelName, "wav_out", kDenoiseHop);
  if (!wav) return std::move(wav).error();
  out.insert(out.end(), wav->begin(), wav->end());
  auto copy_cache = [this](std::string_view name,
                           std::span<float> cache) -> Result<void, CoreError> {
    auto next = float_output(outputs_, kModelName, name, cache.size());
    if (!next) return std::move(next).error();
    std::copy(next->begin(), next->end(), cache.begin());
    return {};
  };
  if (auto copied = copy_cache("cache_out_0", channel.cache0); !copied) return copied;
  if (auto copied = copy_cache("cache_out_1", channel.cache1); !copied) return copied;
  if (auto copied = copy_cache("cache_out_2", channel.cache2); !copied) return copied;
  // A non-finite cache would silence the channel for good; one frame's worth is enough.
  if (!all_finite(channel.cache0) || !all_finite(channel.cache1) || !all_finite(channel.cache2)) {
    channel.cache0.fill(0.0f);
    channel.cache1.fill(0.0f);
    channel.cache2.fill(0.0f);
  }
  return {};
}

Result<void, CoreError> DenoiserStage::run_frames(Channel& channel, std::vector<float>& out) {
  size_t taken = 0;
  Result<void, CoreError> result;
  while (channel.pending.size() - taken >= kDenoiseFrame) {
    result = run_frame(channel,
                       std::span<const float>(channel.pending).subspan(taken, kDenoiseFrame), out);
    if (!result) break;
    taken += kDenoiseHop;
  }
  channel.pending.erase(channel.pending.begin(),
                        channel.pending.begin() + static_cast<ptrdiff_t>(taken));
  return result;
}

Result<void, CoreError> DenoiserStage::process(std::span<const float> in, uint16_t channels,
                                               std::vector<float>& out) {
  const size_t width = std::max<uint16_t>(channels, 1);
  if (width > channels_.size()) channels_.resize(width);
  const size_t frames = block_frames(in.size(), channels);
  for (size_t k = 0; k < width; ++k) {
    Channel& channel = channels_[k];
    // Empty pending means a fresh or flushed stream: the 256-sample delay comes first.
    if (channel.pending.empty()) channel.pending.assign(kDenoiseHop, 0.0f);
    const auto run = in.subspan(k * frames, frames);
    channel.pending.insert(channel.pending.end(), run.begin(), run.end());
    if (auto ran = run_frames(channel, out); !ran) return ran;
  }
  return {};
}

Result<void, CoreError> DenoiserStage::flush(std::vector<float>& out) {
  for (Channel& channel : channels_) {
    if (channel.pending.empty()) continue;
    channel.pending.insert(channel.pending.end(), kDenoiseFrame, 0.0f);
    auto ran = run_frames(channel, out);
    channel = Channel{};
    channel.pending.reserve(2 * kDenoiseFrame);
    if (!ran) return ran;
  }
  return {};
}

Result<std::unique_ptr<Stage>, CoreError> make_denoiser_stage(const ConditioningConfig& config,
                                                              uint16_t channels, uint32_t rate_hz) {
  (void)rate_hz;  // the model serves the rate it was trained at
  auto stage = DenoiserStage::create(config.denoise_model_path.value_or(std::filesystem::path()),
                                     config.ort_library_path, channels);
  if (!stage) return std::move(stage).error();
  return std::unique_ptr<Stage>(std::move(stage).value());
}

}  // namespace murello
