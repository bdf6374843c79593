#include "audiofile/riff.hpp"

#include <algorithm>
#include <cstring>

namespace murello {
namespace {

template <class T>
T load(std::span<const uint8_t> file, uint64_t pos, std::endian order) {
  // Assembled byte by byte so that the result does not depend on the host's order.
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) {
    const size_t shift = order == std::endian::little ? 8 * i : 8 * (sizeof(T) - 1 - i);
    v |= static_cast<T>(static_cast<T>(file[pos + i]) << shift);
  }
  return v;
}

constexpr uint64_t kDs64Pos = 12;
constexpr uint64_t kDs64BodyPos = 20;
constexpr uint64_t kDs64MaxBytes = 65536;
constexpr uint64_t kDs64FixedBytes = 28;
constexpr uint64_t kDs64RowBytes = 12;
constexpr uint32_t kSizeFromDs64 = 0xFFFFFFFF;

uint64_t padded(uint64_t size_bytes) { return size_bytes + (size_bytes & 1); }

}  // namespace

FourCc four_cc_at(std::span<const uint8_t> file, uint64_t pos) {
  return {file[pos], file[pos + 1], file[pos + 2], file[pos + 3]};
}

bool four_cc_is(std::span<const uint8_t> file, uint64_t pos, std::string_view id) {
  return std::memcmp(file.data() + pos, id.data(), 4) == 0;
}

uint16_t u16_at(std::span<const uint8_t> file, uint64_t pos, std::endian order) {
  return load<uint16_t>(file, pos, order);
}
uint32_t u32_at(std::span<const uint8_t> file, uint64_t pos, std::endian order) {
  return load<uint32_t>(file, pos, order);
}
uint64_t u64_at(std::span<const uint8_t> file, uint64_t pos, std::endian order) {
  return load<uint64_t>(file, pos, order);
}

bool Chunk::is(std::string_view four) const {
  return std::memcmp(id.data(), four.data(), 4) == 0;
}

Result<Rf64Preamble, DecodeError> read_rf64_preamble(std::span<const uint8_t> file) {
  constexpr auto kLe = std::endian::little;
  const uint64_t length = file.size();
  if (length < kDs64BodyPos) return DecodeError::truncated(kDs64BodyPos, length);
  const uint64_t size_bytes = u32_at(file, 16, kLe);
  if (size_bytes > length - kDs64BodyPos) {
    return DecodeError::truncated(size_bytes, length - kDs64BodyPos);
  }
  if (!four_cc_is(file, kDs64Pos, "ds64")) {
    return DecodeError::malformed(kDs64Pos, "a ds64 chunk immediately after the RF64 form type");
  }
  if (size_bytes > kDs64MaxBytes) {
    return DecodeError::malformed(kDs64Pos, "a ds64 chunk of at most 65536 bytes");
  }
  if (size_bytes < kDs64FixedBytes) {
    return DecodeError::malformed(kDs64Pos, "a ds64 chunk of at least 28 bytes");
  }
  // Body: riffSize (u64), dataSize (u64), sampleCount (u64, unused), tableLength.
  const uint64_t rows = u32_at(file, kDs64BodyPos + 24, kLe);
  if (size_bytes < kDs64FixedBytes + kDs64RowBytes * rows) {
    return DecodeError::malformed(kDs64Pos, "a ds64 table length that fits the ds64 chunk");
  }
  Rf64Preamble preamble;
  preamble.riff_bytes = u64_at(file, kDs64BodyPos, kLe);
  preamble.overrides.reserve(rows + 1);
  preamble.overrides.push_back({{'d', 'a', 't', 'a'}, u64_at(file, kDs64BodyPos + 8, kLe)});
  for (uint64_t row = 0; row < rows; ++row) {
    const uint64_t at = kDs64BodyPos + kDs64FixedBytes + kDs64RowBytes * row;
    preamble.overrides.push_back({four_cc_at(file, at), u64_at(file, at + 4, kLe)});
  }
  preamble.walk_start = std::min(length, kDs64BodyPos + padded(size_bytes));
  return preamble;
}

ChunkWalker::ChunkWalker(std::span<const uint8_t> file, uint64_t start, std::endian order,
                         std::span<const SizeOverride> overrides)
    : file_(file), pos_(start), order_(order), overrides_(overrides) {}

std::optional<Chunk> ChunkWalker::next() {
  const uint64_t length = file_.size();
  if (pos_ > length || length - pos_ < 8) return std::nullopt;
  Chunk chunk;
  chunk.header_pos = pos_;
  chunk.id = four_cc_at(file_, pos_);
  chunk.size_bytes = u32_at(file_, pos_ + 4, order_);
  if (chunk.size_bytes == kSizeFromDs64) {
    for (const SizeOverride& row : overrides_) {
      if (row.id != chunk.id) continue;
      chunk.size_bytes = row.size_bytes;
      chunk.from_ds64 = true;
      break;
    }
  }
  chunk.available_bytes = std::min(chunk.size_bytes, length - pos_ - 8);
  // available_bytes < 2^64 - 1, so the padded sum cannot wrap.
  pos_ = chunk.complete() ? std::min(length, pos_ + 8 + padded(chunk.size_bytes)) : length;
  return chunk;
}

}  // namespace murello
