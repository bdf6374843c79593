#include "audiofile/flac_encoder/stream_encoder.hpp"

#include <algorithm>
#include <optional>

#include "audiofile/flac_encoder/bit_writer.hpp"
#include "audiofile/flac_encoder/level.hpp"
#include "util/simd.hpp"

namespace murello {
namespace {

constexpr uint32_t kMaxStreamInfoRateHz = 1048575;
constexpr uint64_t kMaxStreamInfoFrames = uint64_t(1) << 36;

std::optional<DecodeError> validate(const FlacEncodeRequest& r) {
  if (r.channels == 0 || r.channels > 8) return DecodeError::unsupported_channel_count(r.channels);
  if (r.sample_rate_hz == 0 || r.sample_rate_hz > kMaxStreamInfoRateHz)
    return DecodeError::malformed(
        18, "a sample rate between 1 and 1048575, the range streaminfo carries");
  if (r.bits_per_sample < 4 || r.bits_per_sample > 32)
    return DecodeError::unsupported_bit_depth(ContainerName::codec_text("FLAC"),
                                              r.bits_per_sample);
  if (r.compression_level > kFlacMaxLevel)
    return DecodeError::malformed(0, "a compression level between 0 and 8");
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

FlacStreamEncoder::StreamInfo stream_info(const FlacEncodeRequest& r, uint32_t block_frames,
                                          const StreamSummary& s) {
  FlacStreamEncoder::StreamInfo info{};
  uint8_t* p = info.data();
  put_be(p, block_frames, 2);
  put_be(p + 2, block_frames, 2);
  put_be(p + 4, s.min_frame_bytes, 3);
  put_be(p + 7, s.max_frame_bytes, 3);
  // 20-bit rate, 3-bit channels - 1, 5-bit depth - 1, 36-bit total: 64 bits.
  uint64_t packed = uint64_t(r.sample_rate_hz) << 44 | uint64_t(r.channels - 1) << 41 |
                    uint64_t(r.bits_per_sample - 1) << 36 | s.total_frames;
  put_be(p + 10, packed, 8);
  std::copy(s.md5.begin(), s.md5.end(), p + 18);
  return info;
}

}  // namespace

Result<FlacStreamEncoder, DecodeError> FlacStreamEncoder::create(const FlacEncodeRequest& request,
                                                                 uint64_t expected_samples) {
  if (auto error = validate(request)) return *std::move(error);
  return FlacStreamEncoder(request, expected_samples);
}

FlacStreamEncoder::FlacStreamEncoder(const FlacEncodeRequest& request, uint64_t expected_samples)
    : request_(request),
      block_frames_(kFlacLevels[request.compression_level].block_frames),
      frames_(std::make_unique<FlacFrameEncoder>(kFlacLevels[request.compression_level],
                                                 request.channels, request.bits_per_sample,
                                                 request.sample_rate_hz)),
      md5_(std::make_unique<StreamMd5>(expected_samples * ((request.bits_per_sample + 7) / 8))),
      block_(size_t(block_frames_) * request.channels) {
  staging_.reserve(block_.size() * 4);
}

void FlacStreamEncoder::begin(std::vector<uint8_t>& out) const {
  static constexpr uint8_t kPreamble[kStreamInfoOffset] = {'f', 'L', 'a', 'C', 0x80, 0, 0,
                                                           kStreamInfoBytes};
  out.insert(out.end(), kPreamble, kPreamble + kStreamInfoOffset);
  const StreamInfo provisional = stream_info(request_, block_frames_, {});
  out.insert(out.end(), provisional.begin(), provisional.end());
}

void FlacStreamEncoder::push(std::span<const float> samples, std::vector<uint8_t>& out) {
  const unsigned bits = request_.bits_per_sample;
  while (!samples.empty()) {
    const size_t take = std::min(samples.size(), block_.size() - filled_);
    std::span<int32_t> ints(block_.data() + filled_, take);
    if (bits <= 24)
      quantise<float>(samples.first(take), bits, ints);
    else
      quantise<double>(samples.first(take), bits, ints);
    filled_ += take;
    samples = samples.subspan(take);
    if (filled_ == block_.size()) encode_block(out);
  }
}

void FlacStreamEncoder::encode_block(std::vector<uint8_t>& out) {
  const uint32_t frames = uint32_t(filled_ / request_.channels);
  std::span<const int32_t> ints(block_.data(), size_t(frames) * request_.channels);
  feed_md5(ints, request_.bits_per_sample, staging_, *md5_);
  FlacBitWriter writer(out);
  const uint32_t bytes = uint32_t(frames_->encode(ints, frames, frame_number_++, writer));
  min_frame_bytes_ = std::min(min_frame_bytes_, bytes);
  max_frame_bytes_ = std::max(max_frame_bytes_, bytes);
  frames_encoded_ += frames;
  filled_ = 0;
}

FlacStreamEncoder::StreamInfo FlacStreamEncoder::finish(std::vector<uint8_t>& out) {
  if (filled_ >= request_.channels) encode_block(out);
  filled_ = 0;
  StreamSummary summary;
  summary.total_frames = frames_encoded_ < kMaxStreamInfoFrames ? frames_encoded_ : 0;
  summary.min_frame_bytes = frames_encoded_ > 0 ? min_frame_bytes_ : 0;
  summary.max_frame_bytes = max_frame_bytes_;
  summary.md5 = md5_->finish();
  return stream_info(request_, block_frames_, summary);
}

FlacStreamEncoder::StreamInfo FlacStreamEncoder::declared_only(uint64_t frames) const {
  StreamSummary summary;
  summary.total_frames = frames < kMaxStreamInfoFrames ? frames : 0;
  return stream_info(request_, block_frames_, summary);
}

}  // namespace murello
