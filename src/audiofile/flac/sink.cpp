#include "audiofile/flac/sink.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace murello {

FlacSink::FlacSink(uint16_t channels, uint16_t bits_per_sample, bool with_md5,
                   uint64_t md5_frames)
    : channels_(channels),
      sample_bytes_((bits_per_sample + 7u) / 8u),
      scale_(std::ldexp(1.0f, 1 - int(bits_per_sample))),
      with_md5_(with_md5),
      // A declared total is at most 2^36 frames of 8 channels of 4 bytes: no overflow.
      md5_(with_md5 ? md5_frames * channels * sample_bytes_ : 0) {}

void FlacSink::append(std::span<const std::span<const int64_t>> block,
                      std::vector<float>& out) {
  append_floats(block, out);
  if (with_md5_) stage(block);
}

void FlacSink::append_floats(std::span<const std::span<const int64_t>> block,
                             std::vector<float>& samples) {
  const size_t frames = block[0].size();
  const size_t start = samples.size();
  samples.resize(start + frames * channels_);
  float* __restrict out = samples.data() + start;
  const float scale = scale_;
  // Decoded samples of a valid stream fit 32 bits; going through int32 lets the
  // conversion to float vectorise. Stereo, the common case, interleaves in one pass.
  if (channels_ == 2) {
    const int64_t* __restrict left = block[0].data();
    const int64_t* __restrict right = block[1].data();
    for (size_t i = 0; i < frames; ++i) {
      out[2 * i] = float(int32_t(left[i])) * scale;
      out[2 * i + 1] = float(int32_t(right[i])) * scale;
    }
    return;
  }
  for (size_t c = 0; c < channels_; ++c) {
    const int64_t* __restrict in = block[c].data();
    for (size_t i = 0; i < frames; ++i) out[i * channels_ + c] = float(int32_t(in[i])) * scale;
  }
}

namespace {

// Stores `count` interleaved frames from planar channels, each sample as its low kBytes
// bytes, little-endian. Four bytes are stored and the pointer moves by kBytes; the
// caller leaves room for the overhang. kChannels is 0 when the count is only known at
// run time, so that the common mono and stereo loops unroll.
template <unsigned kBytes, unsigned kChannels>
uint8_t* stage_interleaved(const int64_t* const* channels, unsigned channel_count, size_t first,
                           size_t count, uint8_t* out) {
  const unsigned n = kChannels ? kChannels : channel_count;
  for (size_t i = first; i < first + count; ++i)
    for (unsigned c = 0; c < n; ++c) {
      uint32_t v = uint32_t(uint64_t(channels[c][i]));
      if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
      std::memcpy(out, &v, 4);
      out += kBytes;
    }
  return out;
}

template <unsigned kBytes>
uint8_t* stage_any_layout(const int64_t* const* channels, unsigned channel_count, size_t first,
                          size_t count, uint8_t* out) {
  if (channel_count == 2) return stage_interleaved<kBytes, 2>(channels, 2, first, count, out);
  if (channel_count == 1) return stage_interleaved<kBytes, 1>(channels, 1, first, count, out);
  return stage_interleaved<kBytes, 0>(channels, channel_count, first, count, out);
}

}  // namespace

void FlacSink::stage(std::span<const std::span<const int64_t>> block) {
  const size_t frames = block[0].size();
  const size_t frame_bytes = size_t(channels_) * sample_bytes_;
  std::array<const int64_t*, 8> channels{};
  for (size_t c = 0; c < channels_; ++c) channels[c] = block[c].data();
  for (size_t done = 0; done < frames;) {
    size_t room = (kStagingBytes - staged_bytes_) / frame_bytes;
    if (room == 0) {
      hash_staged();
      continue;
    }
    size_t count = std::min(room, frames - done);
    uint8_t* out = staging_.data() + staged_bytes_;
    switch (sample_bytes_) {
      case 1: out = stage_any_layout<1>(channels.data(), channels_, done, count, out); break;
      case 2: out = stage_any_layout<2>(channels.data(), channels_, done, count, out); break;
      case 3: out = stage_any_layout<3>(channels.data(), channels_, done, count, out); break;
      default: out = stage_any_layout<4>(channels.data(), channels_, done, count, out); break;
    }
    staged_bytes_ = size_t(out - staging_.data());
    done += count;
  }
}

void FlacSink::hash_staged() {
  md5_.update(std::span(staging_.data(), staged_bytes_));
  staged_bytes_ = 0;
}

std::array<uint8_t, 16> FlacSink::finish_md5() {
  hash_staged();
  return md5_.finish();
}

}  // namespace murello
