// The metadata of a native FLAC stream: the walk over its metadata blocks and the
// STREAMINFO block it must start with.
//
// Conventions: block sizes are frames (samples per channel), rates hz, offsets bytes
// from the start of the file. A total of 0 means the stream does not declare one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "audiofile/error.hpp"
#include "util/result.hpp"

namespace murello {

struct FlacStreamInfo {
  uint32_t min_block_size_frames = 0;
  uint32_t max_block_size_frames = 0;
  uint32_t sample_rate_hz = 0;
  uint16_t channels = 0;          // 1..8
  uint16_t bits_per_sample = 0;   // 4..32
  uint64_t total_frames = 0;      // 0 = not given
  std::array<uint8_t, 16> md5{};  // all zero = absent
  uint64_t md5_offset = 0;        // where the signature is stored

  bool has_md5() const;
};

struct FlacMetadata {
  FlacStreamInfo info;
  size_t frames_offset = 0;  // first byte after the last metadata block
};

// Where the "fLaC" marker is: at byte 0, or right after an ID3v2 tag that a tagger put in
// front of the stream. std::nullopt when neither.
std::optional<size_t> flac_marker_pos(std::span<const uint8_t> file);

// Walks the metadata blocks after the "fLaC" marker, checking the STREAMINFO rules;
// every block other than STREAMINFO is skipped unread.
Result<FlacMetadata, DecodeError> read_flac_metadata(std::span<const uint8_t> file);

}  // namespace murello
