#include "audiofile/wav/reader.hpp"

#include <cstdio>
#include <iterator>
#include <optional>
#include <string>

#include "audiofile/riff.hpp"

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

Result<WavSampleFormat, DecodeError> resolve_format(uint16_t tag, uint16_t bits) {
  const bool known = tag == kTagPcm || tag == kTagFloat || tag == kTagALaw || tag == kTagMuLaw;
  if (!known) return DecodeError::unsupported_codec(ContainerName::wave_tag(tag));
  for (size_t code = 0; code < std::size(kWavFormats); ++code) {
    if (kWavFormats[code].format_tag == tag && kWavFormats[code].bits_per_sample == bits) {
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
  // nAvgBytesPerSec (+16) and nBlockAlign (+20) are derived values that writers often get
  // wrong; the data is decoded from channels and the sample format alone.
  uint16_t tag = u16_at(file, pos + 8, kLe);
  const uint16_t bits = u16_at(file, pos + 22, kLe);
  if (tag == kTagExtensible) {
    auto sub_format = extensible_sub_format(file, fmt);
    if (!sub_format) return std::move(sub_format).error();
    tag = *sub_format;
  }
  auto format = resolve_format(tag, bits);
  if (!format) return std::move(format).error();
  parsed.format = *format;
  return parsed;
}

// Where the samples are and how they are stored: everything decoding checks before it
// converts a sample.
struct WavContents {
  WavFmt fmt;
  Chunk data;
  uint64_t frames = 0;
};

Result<WavContents, DecodeError> read_contents(std::span<const uint8_t> file) {
  Rf64Preamble preamble;
  preamble.walk_start = kFirstChunkPos;
  if (four_cc_is(file, 0, "RF64")) {
    auto read = read_rf64_preamble(file);
    if (!read) return std::move(read).error();
    preamble = std::move(read).value();
  }
  ChunkWalker walker(file, preamble.walk_start, kLe, preamble.overrides);
  std::optional<WavFmt> fmt;
  std::optional<Chunk> data;
  while (!(fmt && data)) {
    auto next = walker.next();
    if (!next) return std::move(next).error();
    if (!*next) break;
    const Chunk& chunk = **next;
    if (chunk.is("data") && !data) {
      data = chunk;
    } else if (chunk.is("fmt ") && !fmt) {
      auto parsed = parse_fmt(file, chunk);
      if (!parsed) return std::move(parsed).error();
      fmt = *parsed;
    }
  }
  if (!fmt) return DecodeError::malformed(kFirstChunkPos, "a fmt chunk");
  if (!data) return DecodeError::malformed(kFirstChunkPos, "a data chunk");
  const uint64_t frame_bytes =
      uint64_t{fmt->channels} * wav_format_info(fmt->format).layout.width_bytes();
  if (data->size_bytes % frame_bytes != 0) {
    return DecodeError::truncated(frame_bytes, data->size_bytes % frame_bytes);
  }
  return WavContents{*fmt, *data, data->size_bytes / frame_bytes};
}

}  // namespace

Result<DecodedAudio, DecodeError> decode_wav(std::span<const uint8_t> file) {
  auto contents = read_contents(file);
  if (!contents) return std::move(contents).error();
  DecodedAudio audio;
  audio.sample_rate_hz = contents->fmt.sample_rate_hz;
  audio.channels = contents->fmt.channels;
  decode_layout(wav_format_info(contents->fmt.format).layout,
                file.subspan(contents->data.body_pos(), contents->data.size_bytes), audio.samples);
  return audio;
}

Result<AudioHeader, DecodeError> read_wav_header(std::span<const uint8_t> file) {
  auto contents = read_contents(file);
  if (!contents) return std::move(contents).error();
  AudioHeader header;
  header.container = four_cc_is(file, 0, "RF64") ? ContainerKind::Rf64 : ContainerKind::Wav;
  header.sample_rate_hz = contents->fmt.sample_rate_hz;
  header.channels = contents->fmt.channels;
  header.frames = contents->frames;
  describe_layout(wav_format_info(contents->fmt.format).layout, header);
  return header;
}

Result<SampleRegion, DecodeError> read_wav_region(std::span<const uint8_t> file) {
  auto header = read_wav_header(file);
  if (!header) return std::move(header).error();
  auto contents = read_contents(file);  // the header's checks passed: so do these
  return SampleRegion{*header, wav_format_info(contents->fmt.format).layout,
                      contents->data.body_pos(), contents->data.size_bytes};
}

}  // namespace murello
