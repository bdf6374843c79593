#include "chain/planar.hpp"

namespace murello {

namespace {

// Grows `out` by `count` samples and returns them.
float* extend(std::vector<float>& out, size_t count) {
  const size_t start = out.size();
  out.resize(start + count);
  return out.data() + start;
}

// Strided copies with the channel count as a constant, so the common cases vectorise.
template <size_t kChannels>
void deinterleave_fixed(const float* in, size_t frames, float* out) {
  for (size_t k = 0; k < kChannels; ++k) {
    float* run = out + k * frames;
    for (size_t f = 0; f < frames; ++f) run[f] = in[f * kChannels + k];
  }
}

template <size_t kChannels>
void interleave_fixed(const float* in, size_t frames, float* out) {
  for (size_t k = 0; k < kChannels; ++k) {
    const float* run = in + k * frames;
    for (size_t f = 0; f < frames; ++f) out[f * kChannels + k] = run[f];
  }
}

}  // namespace

std::span<float> append_block(std::span<const float> in, std::vector<float>& out) {
  float* dst = extend(out, in.size());
  std::copy(in.begin(), in.end(), dst);
  return {dst, in.size()};
}

void deinterleave(std::span<const float> in, uint16_t channels, std::vector<float>& out) {
  const size_t c = std::max<size_t>(channels, 1);
  const size_t frames = in.size() / c;
  float* dst = extend(out, frames * c);
  switch (c) {
    case 1: std::copy_n(in.data(), frames, dst); return;
    case 2: deinterleave_fixed<2>(in.data(), frames, dst); return;
    default:
      for (size_t k = 0; k < c; ++k) {
        float* run = dst + k * frames;
        for (size_t f = 0; f < frames; ++f) run[f] = in[f * c + k];
      }
  }
}

void interleave(std::span<const float> in, uint16_t channels, std::vector<float>& out) {
  const size_t c = std::max<size_t>(channels, 1);
  const size_t frames = in.size() / c;
  float* dst = extend(out, frames * c);
  switch (c) {
    case 1: std::copy_n(in.data(), frames, dst); return;
    case 2: interleave_fixed<2>(in.data(), frames, dst); return;
    default:
      for (size_t k = 0; k < c; ++k) {
        const float* run = in.data() + k * frames;
        for (size_t f = 0; f < frames; ++f) dst[f * c + k] = run[f];
      }
  }
}

void append_planar_runs(std::span<const float> head, std::span<const float> tail,
                        uint16_t channels, std::vector<float>& out) {
  const size_t c = std::max<size_t>(channels, 1);
  const size_t head_frames = head.size() / c;
  const size_t tail_frames = tail.size() / c;
  float* dst = extend(out, (head_frames + tail_frames) * c);
  for (size_t k = 0; k < c; ++k) {
    dst = std::copy_n(head.data() + k * head_frames, head_frames, dst);
    dst = std::copy_n(tail.data() + k * tail_frames, tail_frames, dst);
  }
}

}  // namespace murello
