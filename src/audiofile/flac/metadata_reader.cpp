#include "audiofile/flac/metadata_reader.hpp"

#include <algorithm>

namespace murello {
namespace {

constexpr size_t kBlockHeaderBytes = 4;
constexpr uint32_t kStreamInfoBytes = 34;
constexpr uint8_t kStreamInfoType = 0;
constexpr uint8_t kForbiddenType = 127;

uint64_t read_be(const uint8_t* p, size_t bytes) {
  uint64_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

// Parses and checks the 34 bytes of STREAMINFO starting at `at`.
Result<FlacStreamInfo, DecodeError> parse_stream_info(std::span<const uint8_t> file, size_t at) {
  const uint8_t* p = file.data() + at;
  FlacStreamInfo info;
  info.min_block_size_frames = uint32_t(read_be(p, 2));
  info.max_block_size_frames = uint32_t(read_be(p + 2, 2));
  uint64_t packed = read_be(p + 10, 8);  // rate 20, channels 3, bits 5, total 36
  info.sample_rate_hz = uint32_t(packed >> 44);
  info.channels = uint16_t(((packed >> 41) & 0x7) + 1);
  info.bits_per_sample = uint16_t(((packed >> 36) & 0x1F) + 1);
  info.total_frames = packed & 0xFFFFFFFFFull;
  std::copy(p + 18, p + 34, info.md5.begin());
  info.md5_offset = at + 18;

  if (info.min_block_size_frames < 16)
    return DecodeError::malformed(at, "a streaminfo block size of at least 16 samples");
  if (info.max_block_size_frames < 16)
    return DecodeError::malformed(at + 2, "a streaminfo block size of at least 16 samples");
  if (info.min_block_size_frames > info.max_block_size_frames)
    return DecodeError::malformed(at, "a streaminfo minimum block size no larger than the maximum");
  if (info.sample_rate_hz == 0)
    return DecodeError::malformed(at + 10, "a streaminfo sample rate above zero");
  if (info.bits_per_sample < 4)
    return DecodeError::malformed(at + 12, "a streaminfo bit depth between 4 and 32");
  return info;
}

bool marker_at(std::span<const uint8_t> file, size_t at) {
  return file.size() >= 4 && at <= file.size() - 4 && file[at] == 'f' && file[at + 1] == 'L' &&
         file[at + 2] == 'a' && file[at + 3] == 'C';
}

}  // namespace

std::optional<size_t> flac_marker_pos(std::span<const uint8_t> file) {
  if (marker_at(file, 0)) return 0;
  // "ID3", version (2 bytes), flags, then the tag's size without this 10-byte header as
  // four 7-bit bytes; flag 0x10 adds a 10-byte footer.
  constexpr size_t kId3HeaderBytes = 10;
  if (file.size() < kId3HeaderBytes || file[0] != 'I' || file[1] != 'D' || file[2] != '3') {
    return std::nullopt;
  }
  size_t tag_bytes = 0;
  for (size_t i = 6; i < kId3HeaderBytes; ++i) {
    if (file[i] & 0x80) return std::nullopt;
    tag_bytes = tag_bytes << 7 | file[i];
  }
  const size_t footer_bytes = (file[5] & 0x10) ? kId3HeaderBytes : 0;
  const size_t at = kId3HeaderBytes + tag_bytes + footer_bytes;
  if (!marker_at(file, at)) return std::nullopt;
  return at;
}

bool FlacStreamInfo::has_md5() const {
  return std::any_of(md5.begin(), md5.end(), [](uint8_t b) { return b != 0; });
}

Result<FlacMetadata, DecodeError> read_flac_metadata(std::span<const uint8_t> file) {
  FlacMetadata metadata;
  bool have_stream_info = false;
  size_t at = flac_marker_pos(file).value_or(0) + 4;
  for (bool last = false; !last;) {
    if (file.size() < at + kBlockHeaderBytes)
      return DecodeError::truncated(at + kBlockHeaderBytes, file.size());
    last = (file[at] & 0x80) != 0;
    uint8_t type = file[at] & 0x7F;
    uint64_t length = read_be(file.data() + at + 1, 3);
    uint64_t end = at + kBlockHeaderBytes + length;
    if (type == kForbiddenType)
      return DecodeError::malformed(at, "a metadata block type other than the forbidden 127");
    if (end > file.size()) return DecodeError::truncated(end, file.size());
    if (type == kStreamInfoType) {
      if (have_stream_info)
        return DecodeError::malformed(at, "exactly one streaminfo metadata block");
      if (length != kStreamInfoBytes)
        return DecodeError::malformed(at + 1, "a streaminfo block of exactly 34 bytes");
      auto info = parse_stream_info(file, at + kBlockHeaderBytes);
      if (!info) return std::move(info).error();
      metadata.info = *info;
      have_stream_info = true;
    } else if (!have_stream_info) {
      return DecodeError::malformed(at, "a streaminfo block first among the metadata blocks");
    }
    at = size_t(end);
  }
  metadata.frames_offset = at;
  return metadata;
}

}  // namespace murello
