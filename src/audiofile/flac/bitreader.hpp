// BitReader: an MSB-first bit reader over one frame of a byte buffer.
//
// Conventions: positions are bytes from the start of the file; `origin` is the first
// byte of the frame being read, and a read that runs past the buffer records how many
// bytes from the origin it would have needed. Fields are at most 56 bits wide.
//
// Cache design: `cache_` holds the next bits left-aligned and `bits_` says how many of
// them are counted. While at least 8 bytes remain, a refill loads 8 bytes big-endian and
// ORs them in below the counted bits, then counts whole bytes until 56 or more bits are
// counted. Bits below the counted ones may already hold the following stream bits; a
// later refill ORs in the same values, so they never disagree. Near the buffer end the
// refill takes one byte at a time and never reads past the end.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "audiofile/error.hpp"

namespace murello {

class BitReader {
 public:
  BitReader(std::span<const uint8_t> file, size_t origin)
      : data_(file.data()), size_(file.size()), next_byte_(origin), origin_(origin) {}

  // Bit position from the start of the file.
  uint64_t bit_position() const { return uint64_t(next_byte_) * 8 - bits_; }
  // The byte the reader has reached: the one holding the next unread bit.
  uint64_t byte_position() const { return bit_position() / 8; }
  size_t origin() const { return origin_; }

  // Reads an unsigned field of 0..56 bits.
  [[nodiscard]] bool read(unsigned bits, uint64_t& out) {
    if (bits_ < bits && !refill_for(bits)) return false;
    out = (cache_ >> 1) >> (63 - bits);  // well defined for bits == 0
    consume(bits);
    return true;
  }

  // Reads a two's-complement field of 1..56 bits.
  [[nodiscard]] bool read_signed(unsigned bits, int64_t& out) {
    if (bits_ < bits && !refill_for(bits)) return false;
    out = int64_t(cache_) >> (64 - bits);
    consume(bits);
    return true;
  }

  // Counts 0 bits up to and including the next 1 bit; `zeros` excludes the 1.
  [[nodiscard]] bool read_unary(uint64_t& zeros);

  // Outcome of reading a run of Rice-coded residuals.
  enum class RiceStatus { Ok, Truncated, OutOfRange };

  // Reads `count` Rice-coded residuals with parameter `parameter` (0..30) into `out`,
  // rejecting folded values above 0xFFFFFFFE so that every residual fits 32 bits.
  RiceStatus read_rice(unsigned parameter, int64_t* out, size_t count);

  // Skips to the next byte boundary.
  void align_to_byte() { consume(bits_ & 7); }

  // The error for the last failed read.
  DecodeError truncation() const {
    return DecodeError::truncated(needed_bytes_, uint64_t(size_ - origin_));
  }
  // A rule violation at the byte the reader has reached.
  DecodeError malformed(std::string expectation) const {
    return DecodeError::malformed(byte_position(), std::move(expectation));
  }

 private:
  void consume(unsigned bits) {
    cache_ <<= bits;
    bits_ -= bits;
  }

  // Tops the cache up to at least 56 counted bits, or to the end of the buffer.
  void refill() {
    if (next_byte_ + 8 <= size_) {
      uint64_t word;
      std::memcpy(&word, data_ + next_byte_, 8);
      if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
      cache_ |= word >> bits_;
      next_byte_ += (63 - bits_) >> 3;
      bits_ |= 56;
      return;
    }
    refill_tail();
  }

  void refill_tail();
  // Refills and reports whether `bits` are now counted; records the shortfall if not.
  bool refill_for(unsigned bits);
  bool fail(uint64_t bits_wanted);

  const uint8_t* data_;
  size_t size_;
  size_t next_byte_;
  size_t origin_;
  uint64_t cache_ = 0;
  unsigned bits_ = 0;
  uint64_t needed_bytes_ = 0;
};

}  // namespace murello
