#include "audiofile/flac_encoder/encoder.hpp"

#include <algorithm>
#include <array>
#include <optional>

#include "audiofile/flac_encoder/bit_writer.hpp"
#include "audiofile/flac_encoder/frame.hpp"
#include "audiofile/flac_encoder/level.hpp"
#include "audiofile/stream_md5.hpp"
#include "util/simd.hpp"

namespace murello {
namespace {

constexpr uint32_t kMaxStreamInfoRateHz = 1048575;
constexpr uint64_t kMaxStreamInfoFrames = uint64_t(1) << 36;
constexpr size_t kStreamInfoBytes = 34;
constexpr size_t kStreamInfoOffset = 8;  // after "fLaC" and the metadata block header

std::optional<DecodeError> validate(const FlacEncodeRequest& r, size_t sample_count) {
  if (r.channels == 0 || r.channels > 8) return DecodeError::unsupported_channel_count(r.channels);
  if (r.sample_rate_hz == 0 || r.sample_rate_hz > kMaxStreamInfoRateHz)
    return DecodeError::malformed(
        18, "a sample rate between 1 and 1048575, the range streaminfo carries");
  if (r.bits_per_sample < 4 || r.bits_per_sample > 32)
    return DecodeError::unsupported_bit_depth(ContainerName::codec_text("FLAC"),
                                              r.bits_per_sample);
  if (r.compression_level > kFlacMaxLevel)
    return DecodeError::malformed(0, "a compression level between 0 and 8");
  if (sample_count % r.channels != 0)
    return DecodeError::truncated(r.channels, sample_count % r.channels);
  if (sample_count / r.channels >= kMaxStreamInfoFrames)
    return DecodeError::malformed(
        21, "no more sample frames than streaminfo's 36-bit total can declare");
  return std::nullopt;
}

// Full scale maps to 2^(bits - 1); NaN, which has no level, becomes silence. Scaling by
// a power of two is exact in float32 up to 24 bits; deeper samples go through double.
template <class Real>
MURELLO_VECTOR_CLONES void quantise(std::span<const float> in, unsigned bits,
                                    std::span<int32_t> out) {
  const Real scale = Real(uint64_t(1) << (bits - 1));
  const Real highest = scale - 1;
  for (size_t i = 0; i < in.size(); ++i) {
    Real v = in[i];
    v = v == v ? v : Real(0);
    v = v < Real(-1) ? Real(-1) : (v > Real(1) ? Real(1) : v);
    v *= scale;
    out[i] = int32_t(v > highest ? highest : v);
  }
}

// The MD5 input: each sample's low `Width` bytes, little-endian, interleaved.
template <unsigned Width>
void md5_bytes(std::span<const int32_t> samples, uint8_t* p) {
  for (int32_t s : samples) {
    uint32_t u = uint32_t(s);
    for (unsigned b = 0; b < Width; ++b) p[b] = uint8_t(u >> (8 * b));
    p += Width;
  }
}

void feed_md5(std::span<const int32_t> samples, unsigned bits, std::vector<uint8_t>& staging,
              StreamMd5& md5) {
  const unsigned width = (bits + 7) / 8;
  staging.resize(samples.size() * width);
  switch (width) {
    case 1: md5_bytes<1>(samples, staging.data()); break;
    case 2: md5_bytes<2>(samples, staging.data()); break;
    case 3: md5_bytes<3>(samples, staging.data()); break;
    default: md5_bytes<4>(samples, staging.data()); break;
  }
  md5.update(staging);
}

void put_be(uint8_t* p, uint64_t value, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i) p[i] = uint8_t(value >> (8 * (bytes - 1 - i)));
}

struct StreamSummary {
  uint32_t min_frame_bytes = 0, max_frame_bytes = 0;
  uint64_t total_frames = 0;
  std::array<uint8_t, 16> md5{};
};

void write_stream_info(uint8_t* p, const FlacEncodeRequest& r, uint32_t block_frames,
                       const StreamSummary& s) {
  put_be(p, block_frames, 2);
  put_be(p + 2, block_frames, 2);
  put_be(p + 4, s.min_frame_bytes, 3);
  put_be(p + 7, s.max_frame_bytes, 3);
  // 20-bit rate, 3-bit channels - 1, 5-bit depth - 1, 36-bit total: 64 bits.
  uint64_t packed = uint64_t(r.sample_rate_hz) << 44 | uint64_t(r.channels - 1) << 41 |
                    uint64_t(r.bits_per_sample - 1) << 36 | s.total_frames;
  put_be(p + 10, packed, 8);
  std::copy(s.md5.begin(), s.md5.end(), p + 18);
}

}  // namespace

Result<size_t, DecodeError> encode_flac(const FlacEncodeRequest& request,
                                        std::span<const float> samples,
                                        std::vector<uint8_t>& out) {
  if (auto error = validate(request, samples.size())) return *std::move(error);
  const FlacLevel& level = kFlacLevels[request.compression_level];
  const unsigned channels = request.channels, bits = request.bits_per_sample;
  const size_t start = out.size();
  static constexpr uint8_t kPreamble[kStreamInfoOffset] = {'f', 'L', 'a', 'C', 0x80, 0, 0,
                                                           kStreamInfoBytes};
  out.insert(out.end(), kPreamble, kPreamble + kStreamInfoOffset);
  out.resize(out.size() + kStreamInfoBytes);

  FlacFrameEncoder frames(level, channels, bits, request.sample_rate_hz);
  FlacBitWriter writer(out);
  // The checksum of a long stream is hashed beside the encoding.
  StreamMd5 md5(samples.size() * ((bits + 7) / 8));
  std::vector<int32_t> block(size_t(level.block_frames) * channels);
  std::vector<uint8_t> staging;
  staging.reserve(block.size() * 4);
  StreamSummary summary;
  summary.total_frames = samples.size() / channels;
  summary.min_frame_bytes = summary.total_frames ? UINT32_MAX : 0;

  uint64_t frame_number = 0;
  for (uint64_t first = 0; first < summary.total_frames; first += level.block_frames) {
    uint32_t len = uint32_t(std::min<uint64_t>(level.block_frames, summary.total_frames - first));
    std::span<int32_t> ints(block.data(), size_t(len) * channels);
    auto floats = samples.subspan(first * channels, ints.size());
    if (bits <= 24)
      quantise<float>(floats, bits, ints);
    else
      quantise<double>(floats, bits, ints);
    feed_md5(ints, bits, staging, md5);
    uint32_t bytes = uint32_t(frames.encode(ints, len, frame_number++, writer));
    summary.min_frame_bytes = std::min(summary.min_frame_bytes, bytes);
    summary.max_frame_bytes = std::max(summary.max_frame_bytes, bytes);
  }
  summary.md5 = md5.finish();
  write_stream_info(out.data() + start + kStreamInfoOffset, request, level.block_frames, summary);
  return out.size() - start;
}

}  // namespace murello
