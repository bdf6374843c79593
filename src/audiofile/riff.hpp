// Chunked containers of the IFF family (RIFF/RF64 little-endian, AIFF big-endian): field
// access, the chunk walk and the RF64 ds64 preamble.
//
// Conventions: positions and sizes are bytes from the start of the file, held in 64 bits.
// Every reader here is bounded by the buffer alone; container size fields (bytes 4..7) are
// never trusted, only consulted to tell an unfinished file from a finished one. A chunk occupies 8 header bytes, its body and a pad byte when the body
// size is odd; a pad byte missing at the very end of the buffer is tolerated.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "audiofile/error.hpp"
#include "util/result.hpp"

namespace murello {

using FourCc = std::array<uint8_t, 4>;

// Field reads. Callers have checked that [pos, pos + width) lies inside the buffer.
FourCc four_cc_at(std::span<const uint8_t> file, uint64_t pos);
bool four_cc_is(std::span<const uint8_t> file, uint64_t pos, std::string_view id);
uint16_t u16_at(std::span<const uint8_t> file, uint64_t pos, std::endian order);
uint32_t u32_at(std::span<const uint8_t> file, uint64_t pos, std::endian order);
uint64_t u64_at(std::span<const uint8_t> file, uint64_t pos, std::endian order);

struct Chunk {
  uint64_t header_pos = 0;  // position of the id; the body starts 8 bytes later
  FourCc id{};
  uint64_t size_bytes = 0;       // body size as declared (through ds64 when overridden)
  uint64_t available_bytes = 0;  // body bytes the buffer holds, at most size_bytes
  bool from_ds64 = false;        // size_bytes came from the RF64 override table

  uint64_t body_pos() const { return header_pos + 8; }
  uint64_t end_pos() const { return body_pos() + size_bytes; }
  bool is(std::string_view four) const;
  // Whether the whole declared body lies inside the buffer.
  bool complete() const { return available_bytes == size_bytes; }
  // The error for a chunk that is not complete.
  DecodeError truncation() const { return DecodeError::truncated(size_bytes, available_bytes); }
};

// Streaming writers (writing to a pipe, or stopped before they went back to their header)
// store a size at or above this where they cannot know the real one: 0xFFFFFFFF,
// 0x80000000, 0x7FFFF000 and 0x7F000004 are all written by common tools. A 32-bit size
// this large that runs past the end of the file is taken to be such a placeholder.
inline constexpr uint32_t kPlaceholderSizeMin = 0x7F000000;

// Whether a stored size is large enough to be a streaming writer's placeholder; it is one
// when it also runs past the end of the file.
constexpr bool is_placeholder_size(uint64_t stored) { return stored >= kPlaceholderSizeMin; }

// Whether a container's size (RIFF or FORM bytes 4..7, RF64's ds64 riffSize) was left
// unfinished: a placeholder, or too small to reach past `chunk_end`, the end of a chunk
// inside it. A sample chunk that declares no samples, in such a file, was never given its
// size; in a finished file something other than samples follows it, or nothing does.
constexpr bool form_size_unfinished(uint64_t form_bytes, uint64_t chunk_end) {
  return is_placeholder_size(form_bytes) || 8 + form_bytes <= chunk_end;
}

// One row of an RF64 ds64 chunk: the 64-bit size of a chunk whose 32-bit size field
// holds 0xFFFFFFFF.
struct SizeOverride {
  FourCc id{};
  uint64_t size_bytes = 0;
};

// What the RF64 preamble yields: the override table (first row "data"), the 64-bit RIFF
// size and where the ordinary chunk walk begins.
struct Rf64Preamble {
  std::vector<SizeOverride> overrides;
  uint64_t riff_bytes = 0;
  uint64_t walk_start = 0;
};

// Reads the ds64 chunk that must follow the "RF64....WAVE" header.
Result<Rf64Preamble, DecodeError> read_rf64_preamble(std::span<const uint8_t> file);

// Steps through chunk headers. Thread: none of its own; one walker per parse.
class ChunkWalker {
 public:
  // overrides may be empty; it must outlive the walker.
  ChunkWalker(std::span<const uint8_t> file, uint64_t start, std::endian order,
              std::span<const SizeOverride> overrides = {});

  // The next chunk, std::nullopt once fewer than 8 bytes remain. A chunk whose size runs
  // past the end of the buffer is returned too, not complete(); the walk then ends.
  std::optional<Chunk> next();

 private:
  std::span<const uint8_t> file_;
  uint64_t pos_;
  std::endian order_;
  std::span<const SizeOverride> overrides_;
};

// What the readers' walk finds: the parsed format chunk (fmt, COMM) and the chunk that
// holds the samples (data, SSND), the first of each.
template <class Format>
struct FormatAndSamples {
  std::optional<Format> format;
  std::optional<Chunk> samples;
  bool format_first = false;  // the format chunk came before the sample chunk
};

// Walks until both are found; `parse(chunk)` parses the format chunk, returning
// Result<Format, DecodeError>. Every chunk walked must be complete, except a sample chunk
// after the format chunk: the walk ends with it, and its size is the caller's to judge.
template <class Format, class Parse>
Result<FormatAndSamples<Format>, DecodeError> find_format_and_samples(
    ChunkWalker& walker, std::string_view format_id, std::string_view samples_id, Parse parse) {
  FormatAndSamples<Format> found;
  while (!(found.format && found.samples)) {
    const std::optional<Chunk> chunk = walker.next();
    if (!chunk) break;
    const bool samples = chunk->is(samples_id) && !found.samples;
    if (!chunk->complete() && !(samples && found.format)) return chunk->truncation();
    if (samples) {
      found.samples = *chunk;
      found.format_first = found.format.has_value();
    } else if (chunk->is(format_id) && !found.format) {
      auto parsed = parse(*chunk);
      if (!parsed) return std::move(parsed).error();
      found.format = std::move(parsed).value();
    }
  }
  return found;
}

}  // namespace murello
