#include "chain/channel_stages.hpp"

#include <algorithm>
#include <utility>

#include "chain/planar.hpp"

namespace murello {

namespace {

template <size_t kChannels>
void downmix_fixed(const float* in, size_t frames, float* out) {
  for (size_t f = 0; f < frames; ++f) {
    float sum = 0.0f;
    for (size_t k = 0; k < kChannels; ++k) sum += in[f * kChannels + k];
    out[f] = sum / static_cast<float>(kChannels);
  }
}

void downmix_any(const float* in, size_t channels, size_t frames, float* out) {
  const float count = static_cast<float>(channels);
  for (size_t f = 0; f < frames; ++f) {
    float sum = 0.0f;
    for (size_t k = 0; k < channels; ++k) sum += in[f * channels + k];
    out[f] = sum / count;
  }
}

}  // namespace

ChannelMapStage::ChannelMapStage(std::vector<uint16_t> map, uint16_t source_channels)
    : map_(std::move(map)), source_channels_(std::max<uint16_t>(source_channels, 1)) {}

uint16_t ChannelMapStage::output_channels(uint16_t) const {
  return static_cast<uint16_t>(map_.size());
}

Result<void, CoreError> ChannelMapStage::process(std::span<const float> in, uint16_t,
                                                 std::vector<float>& out) {
  const size_t s = source_channels_;
  const size_t frames = in.size() / s;
  const size_t width = map_.size();
  const size_t start = out.size();
  out.resize(start + frames * width);
  float* dst = out.data() + start;
  for (size_t j = 0; j < width; ++j) {
    // An entry beyond the source would read outside the frame; such a map never passes
    // the configuration checks, and is delivered as silence should one get here.
    const size_t source = map_[j];
    if (source >= s) continue;
    for (size_t f = 0; f < frames; ++f) dst[f * width + j] = in[f * s + source];
  }
  return {};
}

DownmixStage::DownmixStage(uint16_t source_channels)
    : source_channels_(std::max<uint16_t>(source_channels, 1)) {}

Result<void, CoreError> DownmixStage::process(std::span<const float> in, uint16_t,
                                              std::vector<float>& out) {
  const size_t s = source_channels_;
  const size_t frames = in.size() / s;
  const size_t start = out.size();
  out.resize(start + frames);
  float* dst = out.data() + start;
  if (s == 2) {
    downmix_fixed<2>(in.data(), frames, dst);
  } else {
    downmix_any(in.data(), s, frames, dst);
  }
  return {};
}

Result<void, CoreError> DeinterleaveStage::process(std::span<const float> in, uint16_t channels,
                                                   std::vector<float>& out) {
  deinterleave(in, channels, out);
  return {};
}

}  // namespace murello
