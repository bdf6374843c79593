#include "audiofile/aiff/reader.hpp"

#include <cmath>
#include <cstring>
#include <optional>

#include "audiofile/riff.hpp"

namespace murello {
namespace {

constexpr auto kBe = std::endian::big;
constexpr uint64_t kFirstChunkPos = 12;
constexpr uint64_t kCommMinBytesAiff = 18;
constexpr uint64_t kCommMinBytesAifc = 22;
constexpr uint64_t kCommMaxBytes = 278;  // 22 fixed bytes, a count byte and 255 of text
constexpr uint64_t kSsndFixedBytes = 8;  // offset and blockSize

struct AiffComm {
  uint16_t channels = 0;
  uint32_t frames = 0;
  uint32_t sample_rate_hz = 0;
  AiffSampleFormat format = AiffSampleFormat::Signed16Be;
};

// Which compression type takes which sample size. bits 0 means any size.
struct CompressionRow {
  char type[5];
  uint16_t bits;
  AiffSampleFormat format;
};

constexpr CompressionRow kCompressionTable[] = {
    {"NONE", 8, AiffSampleFormat::Signed8},     {"NONE", 16, AiffSampleFormat::Signed16Be},
    {"NONE", 24, AiffSampleFormat::Signed24Be}, {"NONE", 32, AiffSampleFormat::Signed32Be},
    {"twos", 8, AiffSampleFormat::Signed8},     {"twos", 16, AiffSampleFormat::Signed16Be},
    {"twos", 24, AiffSampleFormat::Signed24Be}, {"twos", 32, AiffSampleFormat::Signed32Be},
    {"sowt", 8, AiffSampleFormat::Signed8},     {"sowt", 16, AiffSampleFormat::Signed16Le},
    {"sowt", 24, AiffSampleFormat::Signed24Le}, {"sowt", 32, AiffSampleFormat::Signed32Le},
    {"raw ", 8, AiffSampleFormat::Unsigned8},   {"fl32", 32, AiffSampleFormat::Float32},
    {"FL32", 32, AiffSampleFormat::Float32},    {"fl64", 64, AiffSampleFormat::Float64},
    {"FL64", 64, AiffSampleFormat::Float64},    {"alaw", 0, AiffSampleFormat::ALaw},
    {"ALAW", 0, AiffSampleFormat::ALaw},        {"ulaw", 0, AiffSampleFormat::MuLaw},
    {"ULAW", 0, AiffSampleFormat::MuLaw},
};

Result<AiffSampleFormat, DecodeError> resolve_format(const FourCc& type, uint16_t bits) {
  bool known = false;
  for (const CompressionRow& row : kCompressionTable) {
    if (std::memcmp(row.type, type.data(), 4) != 0) continue;
    known = true;
    if (row.bits == 0 || row.bits == bits) return row.format;
  }
  const ContainerName name = ContainerName::four_cc(type);
  if (known) return DecodeError::unsupported_bit_depth(name, bits);
  return DecodeError::unsupported_codec(name);
}

// The 80-bit extended sampleRate at pos, when it is an integer in 1..2^32 - 1. The scaling
// runs in steps of at most 2^±1000 so that no step leaves the double range by itself.
std::optional<uint32_t> extended_rate_hz(std::span<const uint8_t> file, uint64_t pos) {
  const uint16_t sign_exponent = u16_at(file, pos, kBe);
  const uint64_t mantissa = u64_at(file, pos + 2, kBe);
  const int exponent = sign_exponent & 0x7FFF;
  if (exponent == 0x7FFF || mantissa == 0) return std::nullopt;  // infinity, NaN, ±0
  double value = static_cast<double>(mantissa);
  if (sign_exponent & 0x8000) value = -value;
  int shift = (exponent < 1 ? 1 : exponent) - 16446;
  while (shift != 0 && value != 0.0 && std::isfinite(value)) {
    const int step = shift > 1000 ? 1000 : (shift < -1000 ? -1000 : shift);
    value *= std::ldexp(1.0, step);
    shift -= step;
  }
  if (!(value >= 1.0 && value <= 4294967295.0) || value != std::floor(value)) return std::nullopt;
  return static_cast<uint32_t>(value);
}

Result<AiffComm, DecodeError> parse_comm(std::span<const uint8_t> file, const Chunk& chunk,
                                         bool aifc) {
  const uint64_t pos = chunk.header_pos;
  const uint64_t body = chunk.body_pos();
  if (chunk.size_bytes < (aifc ? kCommMinBytesAifc : kCommMinBytesAiff)) {
    return DecodeError::malformed(pos, "a COMM chunk of at least 18 bytes, 22 in AIFF-C");
  }
  if (chunk.size_bytes > kCommMaxBytes) {
    return DecodeError::malformed(
        pos, "a COMM chunk of at most 278 bytes, which is all a compressionName can need");
  }
  AiffComm comm;
  comm.channels = u16_at(file, body, kBe);
  if (comm.channels == 0) return DecodeError::unsupported_channel_count(0);
  comm.frames = u32_at(file, body + 2, kBe);
  const uint16_t bits = u16_at(file, body + 6, kBe);
  const std::optional<uint32_t> rate = extended_rate_hz(file, body + 8);
  if (!rate) {
    return DecodeError::malformed(body + 8,
                                  "a positive integral sample rate that fits in 32 bits");
  }
  comm.sample_rate_hz = *rate;
  FourCc type{'N', 'O', 'N', 'E'};
  if (aifc) {
    // The compressionName is a Pascal string; only its bounds matter.
    if (chunk.size_bytes != kCommMinBytesAifc && file[body + 22] + 23u > chunk.size_bytes) {
      return DecodeError::malformed(body + 22, "a compressionName that fits its COMM chunk");
    }
    type = four_cc_at(file, body + 18);
  }
  auto format = resolve_format(type, bits);
  if (!format) return std::move(format).error();
  comm.format = *format;
  return comm;
}

// Where the samples are and how they are stored: everything decoding checks before it
// converts a sample. `samples` is empty for a file without sound data.
struct AiffContents {
  AiffComm comm;
  std::span<const uint8_t> samples;
};

Result<std::span<const uint8_t>, DecodeError> locate_samples(std::span<const uint8_t> file,
                                                            const AiffComm& comm,
                                                            const Chunk& ssnd) {
  const uint64_t pos = ssnd.header_pos;
  if (ssnd.size_bytes < kSsndFixedBytes) {
    return DecodeError::malformed(pos, "an SSND chunk of at least 8 bytes");
  }
  const uint64_t offset = u32_at(file, ssnd.body_pos(), kBe);
  if (ssnd.size_bytes < offset + kSsndFixedBytes) {
    return DecodeError::malformed(pos, "an SSND offset that fits inside the SSND chunk");
  }
  const SampleLayout layout = aiff_sample_layout(comm.format);
  const uint64_t available = ssnd.size_bytes - kSsndFixedBytes - offset;
  // At most 2^32 * 2^16 * 8 bytes: no overflow.
  const uint64_t needed = uint64_t{comm.frames} * comm.channels * layout.width_bytes();
  if (available < needed) return DecodeError::truncated(needed, available);
  if (available > needed) {
    return DecodeError::malformed(pos, "an SSND chunk holding exactly numSampleFrames frames");
  }
  return file.subspan(ssnd.body_pos() + kSsndFixedBytes + offset, needed);
}

Result<AiffContents, DecodeError> read_contents(std::span<const uint8_t> file) {
  const bool aifc = four_cc_is(file, 8, "AIFC");
  ChunkWalker walker(file, kFirstChunkPos, kBe);
  std::optional<AiffComm> comm;
  std::optional<Chunk> ssnd;
  while (!(comm && ssnd)) {
    auto next = walker.next();
    if (!next) return std::move(next).error();
    if (!*next) break;
    const Chunk& chunk = **next;
    if (chunk.is("SSND") && !ssnd) {
      ssnd = chunk;
    } else if (chunk.is("COMM") && !comm) {
      auto parsed = parse_comm(file, chunk, aifc);
      if (!parsed) return std::move(parsed).error();
      comm = *parsed;
    }
  }
  if (!comm) return DecodeError::malformed(kFirstChunkPos, "a COMM chunk");
  if (!ssnd) {
    if (comm->frames != 0) return DecodeError::malformed(kFirstChunkPos, "an SSND chunk");
    return AiffContents{*comm, {}};
  }
  auto samples = locate_samples(file, *comm, *ssnd);
  if (!samples) return std::move(samples).error();
  return AiffContents{*comm, *samples};
}

}  // namespace

Result<DecodedAudio, DecodeError> decode_aiff(std::span<const uint8_t> file) {
  auto contents = read_contents(file);
  if (!contents) return std::move(contents).error();
  DecodedAudio audio;
  audio.sample_rate_hz = contents->comm.sample_rate_hz;
  audio.channels = contents->comm.channels;
  decode_layout(aiff_sample_layout(contents->comm.format), contents->samples, audio.samples);
  return audio;
}

Result<AudioHeader, DecodeError> read_aiff_header(std::span<const uint8_t> file) {
  auto contents = read_contents(file);
  if (!contents) return std::move(contents).error();
  AudioHeader header;
  header.container = four_cc_is(file, 8, "AIFC") ? ContainerKind::Aifc : ContainerKind::Aiff;
  header.sample_rate_hz = contents->comm.sample_rate_hz;
  header.channels = contents->comm.channels;
  header.frames = contents->comm.frames;
  describe_layout(aiff_sample_layout(contents->comm.format), header);
  return header;
}

Result<SampleRegion, DecodeError> read_aiff_region(std::span<const uint8_t> file) {
  auto header = read_aiff_header(file);
  if (!header) return std::move(header).error();
  auto contents = read_contents(file);  // the header's checks passed: so do these
  const uint64_t offset = contents->samples.empty()
                              ? 0
                              : uint64_t(contents->samples.data() - file.data());
  return SampleRegion{*header, aiff_sample_layout(contents->comm.format), offset,
                      contents->samples.size()};
}

}  // namespace murello
