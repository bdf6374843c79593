#include "audiofile/aiff/reader.hpp"

#include <cmath>
#include <cstring>
#include <optional>

#include "audiofile/riff.hpp"
#include "audiofile/sample_region.hpp"

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
  uint16_t bits = 0;  // sampleSize: for the linear types, how many of the sample's bits count
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

// The linear types take any sample size up to 32 bits: a size that is not a whole number
// of bytes is stored in the next whole number, its value in the high bits.
Result<AiffSampleFormat, DecodeError> resolve_format(const FourCc& type, uint16_t bits) {
  const uint16_t stored_bits = bits >= 1 && bits <= 32 ? static_cast<uint16_t>((bits + 7) / 8 * 8)
                                                       : bits;
  bool known = false;
  for (const CompressionRow& row : kCompressionTable) {
    if (std::memcmp(row.type, type.data(), 4) != 0) continue;
    known = true;
    const bool linear = row.format != AiffSampleFormat::Float32 &&
                        row.format != AiffSampleFormat::Float64;
    if (row.bits == 0 || row.bits == (linear ? stored_bits : bits)) return row.format;
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
  comm.bits = u16_at(file, body + 6, kBe);
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
  auto format = resolve_format(type, comm.bits);
  if (!format) return std::move(format).error();
  comm.format = *format;
  return comm;
}

// An SSND chunk that comes after the COMM chunk and runs to the end of the file: its size
// is a streaming writer's placeholder, or it declares no sound data (0 bytes, or only its
// offset and blockSize fields) while numSampleFrames is 0 and the FORM size was left
// unfinished too.
bool runs_to_end(std::span<const uint8_t> bytes, const AiffComm& comm, const Chunk& ssnd) {
  if (is_placeholder_size(ssnd.size_bytes)) return true;
  return ssnd.size_bytes <= kSsndFixedBytes && comm.frames == 0 &&
         form_size_unfinished(u32_at(bytes, 4, kBe), ssnd.end_pos());
}

Result<SampleExtent, DecodeError> ssnd_extent(std::span<const uint8_t> bytes,
                                              const AiffComm& comm, const Chunk& ssnd,
                                              bool to_end, uint64_t frame_bytes) {
  const uint64_t pos = ssnd.header_pos;
  const uint64_t body = ssnd.body_pos();
  SampleExtent extent;
  extent.chunk_pos = pos;
  extent.chunk_bytes = ssnd.size_bytes;
  extent.frame_bytes = frame_bytes;
  extent.to_end = to_end;
  if (!to_end && ssnd.size_bytes < kSsndFixedBytes) {
    return DecodeError::malformed(pos, "an SSND chunk of at least 8 bytes");
  }
  // The offset field is read from the buffer: it must be there, whatever the size says.
  if (bytes.size() - body < kSsndFixedBytes) {
    return DecodeError::truncated(to_end ? kSsndFixedBytes : ssnd.size_bytes,
                                  bytes.size() - body);
  }
  const uint64_t offset = u32_at(bytes, body, kBe);
  extent.frames_pos = body + kSsndFixedBytes + offset;
  if (to_end) {
    if (comm.frames != 0) extent.frames = comm.frames;
    return extent;
  }
  if (ssnd.size_bytes < offset + kSsndFixedBytes) {
    return DecodeError::malformed(pos, "an SSND offset that fits inside the SSND chunk");
  }
  // numSampleFrames 0 with sound data is a count never filled in: the chunk's whole frames.
  // Bytes beyond the declared frames (a pad byte counted in, a last block filled up) are
  // not audio.
  extent.frames = comm.frames != 0
                      ? comm.frames
                      : (ssnd.size_bytes - kSsndFixedBytes - offset) / frame_bytes;
  return extent;
}

}  // namespace

Result<SampleHeader, DecodeError> parse_aiff_header(std::span<const uint8_t> bytes) {
  const bool aifc = four_cc_is(bytes, 8, "AIFC");
  ChunkWalker walker(bytes, kFirstChunkPos, kBe);
  auto found = find_format_and_samples<AiffComm>(
      walker, "COMM", "SSND", [&](const Chunk& chunk) { return parse_comm(bytes, chunk, aifc); });
  if (!found) return std::move(found).error();
  const std::optional<AiffComm>& comm = found->format;
  const std::optional<Chunk>& ssnd = found->samples;
  if (!comm) return DecodeError::malformed(kFirstChunkPos, "a COMM chunk");
  SampleHeader header;
  header.layout = aiff_sample_layout(comm->format);
  const uint64_t frame_bytes = uint64_t{comm->channels} * header.layout.width_bytes();
  if (ssnd) {
    const bool to_end = found->format_first && runs_to_end(bytes, *comm, *ssnd);
    auto extent = ssnd_extent(bytes, *comm, *ssnd, to_end, frame_bytes);
    if (!extent) return std::move(extent).error();
    header.extent = *extent;
  } else {
    if (comm->frames != 0) return DecodeError::malformed(kFirstChunkPos, "an SSND chunk");
    // No sound data: an empty extent that any file holds.
    header.extent = {0, 0, 8, frame_bytes, 0, false};
  }
  AudioHeader& audio = header.audio;
  audio.container = aifc ? ContainerKind::Aifc : ContainerKind::Aiff;
  audio.sample_rate_hz = comm->sample_rate_hz;
  audio.channels = comm->channels;
  describe_layout(header.layout, audio);
  if (!header.layout.law && audio.coding != SampleCoding::Float) audio.bits_per_sample = comm->bits;
  return header;
}

Result<SampleRegion, DecodeError> read_aiff_region(std::span<const uint8_t> file) {
  auto header = parse_aiff_header(file);
  if (!header) return std::move(header).error();
  return locate_samples(*header, file.size());
}

Result<DecodedAudio, DecodeError> decode_aiff(std::span<const uint8_t> file) {
  auto region = read_aiff_region(file);
  if (!region) return std::move(region).error();
  DecodedAudio audio;
  audio.sample_rate_hz = region->header.sample_rate_hz;
  audio.channels = region->header.channels;
  decode_layout(region->layout, file.subspan(region->offset_bytes, region->size_bytes),
                audio.samples);
  return audio;
}

Result<AudioHeader, DecodeError> read_aiff_header(std::span<const uint8_t> file) {
  auto region = read_aiff_region(file);
  if (!region) return std::move(region).error();
  return region->header;
}

}  // namespace murello
