#include "decode/flac_sink.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace murello {

FlacSink::FlacSink(uint16_t channels, uint16_t bits_per_sample, bool with_md5,
                   std::vector<float>& out)
    : channels_(channels),
      sample_bytes_((bits_per_sample + 7u) / 8u),
      scale_(std::ldexp(1.0f, 1 - int(bits_per_sample))),
      with_md5_(with_md5),
      out_(out) {}

void FlacSink::append(std::span<const std::span<const int64_t>> block) {
  append_floats(block);
  if (with_md5_) stage(block);
}

void FlacSink::append_floats(std::span<const std::span<const int64_t>> block) {
  const size_t frames = block[0].size();
  const size_t start = out_.size();
  out_.resize(start + frames * channels_);
  float* out = out_.data() + start;
  // Decoded samples of a valid stream fit 32 bits; going through int32 lets the
  // conversion to float vectorise.
  for (size_t c = 0; c < channels_; ++c) {
    const int64_t* in = block[c].data();
    for (size_t i = 0; i < frames; ++i) out[i * channels_ + c] = float(int32_t(in[i])) * scale_;
  }
}

template <unsigned kBytes>
void FlacSink::stage_frames(std::span<const std::span<const int64_t>> block, size_t first,
                            size_t count) {
  uint8_t* out = staging_.data() + staged_bytes_;
  for (size_t i = first; i < first + count; ++i)
    for (size_t c = 0; c < channels_; ++c) {
      // Four bytes are stored and the pointer moves by the sample's width; the staging
      // buffer has slack for the overhang.
      uint32_t v = uint32_t(uint64_t(block[c][i]));
      if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
      std::memcpy(out, &v, 4);
      out += kBytes;
    }
  staged_bytes_ = size_t(out - staging_.data());
}

void FlacSink::stage(std::span<const std::span<const int64_t>> block) {
  const size_t frames = block[0].size();
  const size_t frame_bytes = size_t(channels_) * sample_bytes_;
  for (size_t done = 0; done < frames;) {
    size_t room = (kStagingBytes - staged_bytes_) / frame_bytes;
    if (room == 0) {
      md5_.update(std::span(staging_.data(), staged_bytes_));
      staged_bytes_ = 0;
      continue;
    }
    size_t count = std::min(room, frames - done);
    switch (sample_bytes_) {
      case 1: stage_frames<1>(block, done, count); break;
      case 2: stage_frames<2>(block, done, count); break;
      case 3: stage_frames<3>(block, done, count); break;
      default: stage_frames<4>(block, done, count); break;
    }
    done += count;
  }
}

std::array<uint8_t, 16> FlacSink::finish_md5() {
  md5_.update(std::span(staging_.data(), staged_bytes_));
  staged_bytes_ = 0;
  return md5_.finish();
}

}  // namespace murello
