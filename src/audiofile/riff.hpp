// Chunked containers of the IFF family (RIFF/RF64 little-endian, AIFF big-endian): field
// access, the chunk walk and the RF64 ds64 preamble.
//
// Conventions: positions and sizes are bytes from the start of the file, held in 64 bits.
// Every reader here is bounded by the buffer alone; container size fields (bytes 4..7) are
// never trusted. A chunk occupies 8 header bytes, its body and a pad byte when the body
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
  uint64_t size_bytes = 0;  // body size, already checked to fit in the buffer

  uint64_t body_pos() const { return header_pos + 8; }
  bool is(std::string_view four) const;
};

// One row of an RF64 ds64 chunk: the 64-bit size of a chunk whose 32-bit size field
// holds 0xFFFFFFFF.
struct SizeOverride {
  FourCc id{};
  uint64_t size_bytes = 0;
};

// What the RF64 preamble yields: the override table (first row "data") and where the
// ordinary chunk walk begins.
struct Rf64Preamble {
  std::vector<SizeOverride> overrides;
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

  // The next chunk, std::nullopt once fewer than 8 bytes remain, or Truncated when the
  // chunk's size runs past the end of the buffer.
  Result<std::optional<Chunk>, DecodeError> next();

 private:
  uint64_t resolved_size(const FourCc& id, uint32_t stored) const;

  std::span<const uint8_t> file_;
  uint64_t pos_;
  std::endian order_;
  std::span<const SizeOverride> overrides_;
};

}  // namespace murello
