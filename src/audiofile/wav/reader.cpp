#include "audiofile/wav/reader.hpp"

#include <cstdio>
#include <iterator>
#include <optional>
#include <string>

#include "audiofile/riff.hpp"
#include "audiofile/sample_region.hpp"

namespace murello {
namespace {

constexpr auto kLe = std::endian::little;
constexpr uint64_t kFirstChunkPos = 12;
constexpr uint64_t kFmtMinBytes = 16;
constexpr uint64_t kFmtMaxBytes = 65553;  // 18 fixed bytes plus what a u16 cbSize can count
constexpr uint64_t kExtensibleMinBytes = 40;
constexpr uint16_t kExtensibleMinCbSize = 22;
constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagALaw = 6;
constexpr uint16_t kTagMuLaw = 7;
constexpr uint16_t kTagExtensible = 0xFFFE;

// Bytes 2..15 of a sub-format GUID built on the base GUID 0000xxxx-0000-0010-8000-00aa00389b71,
// in stored (little-endian) order.
constexpr uint8_t kBaseGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct WavFmt {
  uint16_t channels = 0;
  uint32_t sample_rate_hz = 0;
  WavSampleFormat format = WavSampleFormat::Pcm16;
  uint16_t bits = 0;         // wBitsPerSample: for PCM, how many of the sample's bits count
  uint16_t slot_bytes = 0;   // nBlockAlign / channels when wider than the sample
};

// The stored GUID in canonical text: the first three groups are little-endian.
std::string guid_text(std::span<const uint8_t> g) {
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", g[3],
                g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                g[14], g[15]);
  return text;
}

// The sub-format code of a WAVE_FORMAT_EXTENSIBLE fmt chunk, which replaces its tag.
Result<uint16_t, DecodeError> extensible_sub_format(std::span<const uint8_t> file,
                                                    const Chunk& fmt) {
  const uint64_t pos = fmt.header_pos;
  if (fmt.size_bytes < kExtensibleMinBytes ||
      u16_at(file, pos + 24, kLe) < kExtensibleMinCbSize) {
    return DecodeError::malformed(pos + 24,
                                  "a 22-byte WAVE_FORMAT_EXTENSIBLE extension after cbSize");
  }
  const std::span<const uint8_t> guid = file.subspan(pos + 32, 16);
  bool based = true;
  for (size_t i = 0; i < sizeof kBaseGuidTail; ++i) {
    based = based && guid[2 + i] == kBaseGuidTail[i];
  }
  if (!based) return DecodeError::unsupported_codec(ContainerName::codec_text(guid_text(guid)));
  return u16_at(file, pos + 32, kLe);
}

// PCM takes any depth up to 32 bits; a depth that is not a whole number of bytes is
// stored in the next whole number, its value in the high bits (12 bits decode as 16).
Result<WavSampleFormat, DecodeError> resolve_format(uint16_t tag, uint16_t bits) {
  const bool known = tag == kTagPcm || tag == kTagFloat || tag == kTagALaw || tag == kTagMuLaw;
  if (!known) return DecodeError::unsupported_codec(ContainerName::wave_tag(tag));
  const uint16_t stored_bits =
      tag == kTagPcm && bits >= 1 && bits <= 32 ? static_cast<uint16_t>((bits + 7) / 8 * 8) : bits;
  for (size_t code = 0; code < std::size(kWavFormats); ++code) {
    if (kWavFormats[code].format_tag == tag && kWavFormats[code].bits_per_sample == stored_bits) {
      return static_cast<WavSampleFormat>(code);
    }
  }
  return DecodeError::unsupported_bit_depth(ContainerName::wave_tag(tag), bits);
}

Result<WavFmt, DecodeError> parse_fmt(std::span<const uint8_t> file, const Chunk& fmt) {
  const uint64_t pos = fmt.header_pos;
  if (fmt.size_bytes < kFmtMinBytes) {
    return DecodeError::malformed(pos, "a fmt chunk of at least 16 bytes");
  }
  if (fmt.size_bytes > kFmtMaxBytes) {
    return DecodeError::malformed(
        pos, "a fmt chunk of at most 65553 bytes, which is all cbSize can count");
  }
  WavFmt parsed;
  parsed.channels = u16_at(file, pos + 10, kLe);
  if (parsed.channels == 0) return DecodeError::unsupported_channel_count(0);
  parsed.sample_rate_hz = u32_at(file, pos + 12, kLe);
  if (parsed.sample_rate_hz == 0) {
    return DecodeError::malformed(pos + 12, "a non-zero sample rate");
  }
  // nAvgBytesPerSec (+16) is a derived value that writers often get wrong: unused.
  uint16_t tag = u16_at(file, pos + 8, kLe);
  parsed.bits = u16_at(file, pos + 22, kLe);
  if (tag == kTagExtensible) {
    auto sub_format = extensible_sub_format(file, fmt);
    if (!sub_format) return std::move(sub_format).error();
    tag = *sub_format;
  }
  auto format = resolve_format(tag, parsed.bits);
  if (!format) return std::move(format).error();
  parsed.format = *format;
  // nBlockAlign (+20) gives each sample a slot of nBlockAlign / channels bytes, which some
  // recorders make wider than the sample (24 bits in 4 bytes).
  const uint16_t block_align = u16_at(file, pos + 20, kLe);
  const size_t width = wav_format_info(parsed.format).layout.sample_bytes();
  if (block_align % parsed.channels != 0 || block_align / parsed.channels < width) {
    return DecodeError::malformed(
        pos + 20, "a block alignment of one equal slot per channel, each as wide as a sample");
  }
  if (block_align / parsed.channels > width) {
    parsed.slot_bytes = static_cast<uint16_t>(block_align / parsed.channels);
  }
  return parsed;
}

// Where the data chunk's frames lie. Its size was left a placeholder by a streaming writer
// when it is large enough to be one (it holds whatever is there, up to that size), or
// when it is 0 in a file whose RIFF size was left unfinished too; either way the data
// chunk must be the last chunk, after the fmt chunk.
SampleExtent data_extent(const Chunk& data, uint64_t frame_bytes, uint64_t form_bytes) {
  SampleExtent extent;
  extent.chunk_pos = data.header_pos;
  extent.chunk_bytes = data.size_bytes;
  extent.frames_pos = data.body_pos();
  extent.frame_bytes = frame_bytes;
  if (!data.from_ds64 && is_placeholder_size(data.size_bytes)) {
    extent.to_end = true;
    extent.frames = data.size_bytes / frame_bytes;
  } else if (data.size_bytes == 0 && form_size_unfinished(form_bytes, data.end_pos())) {
    extent.to_end = true;
  }
  return extent;
}

}  // namespace

Result<SampleHeader, DecodeError> parse_wav_header(std::span<const uint8_t> bytes) {
  const bool rf64 = four_cc_is(bytes, 0, "RF64");
  Rf64Preamble preamble;
  preamble.walk_start = kFirstChunkPos;
  preamble.riff_bytes = u32_at(bytes, 4, kLe);
  if (rf64) {
    auto read = read_rf64_preamble(bytes);
    if (!read) return std::move(read).error();
    preamble = std::move(read).value();
  }
  ChunkWalker walker(bytes, preamble.walk_start, kLe, preamble.overrides);
  auto found = find_format_and_samples<WavFmt>(
      walker, "fmt ", "data", [&](const Chunk& chunk) { return parse_fmt(bytes, chunk); });
  if (!found) return std::move(found).error();
  const std::optional<WavFmt>& fmt = found->format;
  const std::optional<Chunk>& data = found->samples;
  if (!fmt) return DecodeError::malformed(kFirstChunkPos, "a fmt chunk");
  if (!data) return DecodeError::malformed(kFirstChunkPos, "a data chunk");
  SampleHeader header;
  header.layout = wav_format_info(fmt->format).layout;
  header.layout.slot_bytes = fmt->slot_bytes;
  const uint64_t frame_bytes = uint64_t{fmt->channels} * header.layout.width_bytes();
  if (found->format_first) {
    header.extent = data_extent(*data, frame_bytes, preamble.riff_bytes);
  } else {
    header.extent = {data->header_pos, data->size_bytes, data->body_pos(), frame_bytes, {}, false};
  }
  AudioHeader& audio = header.audio;
  audio.container = rf64 ? ContainerKind::Rf64 : ContainerKind::Wav;
  audio.sample_rate_hz = fmt->sample_rate_hz;
  audio.channels = fmt->channels;
  describe_layout(header.layout, audio);
  if (wav_format_info(fmt->format).format_tag == kTagPcm) audio.bits_per_sample = fmt->bits;
  return header;
}

Result<SampleRegion, DecodeError> read_wav_region(std::span<const uint8_t> file) {
  auto header = parse_wav_header(file);
  if (!header) return std::move(header).error();
  return locate_samples(*header, file.size());
}

Result<DecodedAudio, DecodeError> decode_wav(std::span<const uint8_t> file) {
  auto region = read_wav_region(file);
  if (!region) return std::move(region).error();
  DecodedAudio audio;
  audio.sample_rate_hz = region->header.sample_rate_hz;
  audio.channels = region->header.channels;
  decode_layout(region->layout, file.subspan(region->offset_bytes, region->size_bytes),
                audio.samples);
  return audio;
}

Result<AudioHeader, DecodeError> read_wav_header(std::span<const uint8_t> file) {
  auto region = read_wav_region(file);
  if (!region) return std::move(region).error();
  return region->header;
}

}  // namespace murello
