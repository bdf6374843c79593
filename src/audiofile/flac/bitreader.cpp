#include "audiofile/flac/bitreader.hpp"

namespace murello {

void BitReader::refill_tail() {
  while (bits_ < 56 && next_byte_ < size_) {
    cache_ |= uint64_t(data_[next_byte_++]) << (56 - bits_);
    bits_ += 8;
  }
}

bool BitReader::refill_for(unsigned bits) {
  refill();
  return bits_ >= bits || fail(bits);
}

bool BitReader::fail(uint64_t bits_wanted) {
  uint64_t end_bit = bit_position() + bits_wanted;
  needed_bytes_ = (end_bit + 7) / 8 - origin_;
  return false;
}

bool BitReader::read_unary(uint64_t& zeros) {
  zeros = 0;
  for (;;) {
    if (cache_ != 0) {
      unsigned run = unsigned(std::countl_zero(cache_));
      if (run < bits_) {
        zeros += run;
        consume(run + 1);
        return true;
      }
    }
    // No 1 among the counted bits: they are all zeros.
    zeros += bits_;
    consume(bits_);
    cache_ = 0;
    refill();
    if (bits_ == 0) return fail(1);
  }
}

BitReader::RiceStatus BitReader::read_rice(unsigned parameter, int64_t* out, size_t count) {
  const uint64_t max_quotient = 0xFFFFFFFEull >> parameter;
  const uint64_t remainder_mask = (uint64_t(1) << parameter) - 1;
  // The cache lives in locals here: stores to `out` could otherwise alias the members
  // and force a reload per residual.
  const uint8_t* const data = data_;
  // next < fast_limit means 8 bytes can be loaded at next (never, in a short buffer).
  const size_t fast_limit = size_ >= 8 ? size_ - 7 : 0;
  uint64_t cache = cache_;
  unsigned bits = bits_;
  size_t next = next_byte_;
  auto refill_fast = [&] {
    uint64_t word;
    std::memcpy(&word, data + next, 8);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    cache |= word >> bits;
    next += (63 - bits) >> 3;
    bits |= 56;
  };
  for (size_t i = 0; i < count; ++i) {
    // Refilling only when fewer than 32 bits are left keeps the load off the chain of
    // dependent shifts for most residuals.
    if (bits < 32 && next < fast_limit) refill_fast();
    unsigned run = unsigned(std::countl_zero(cache | 1));
    unsigned used = run + 1 + parameter;
    if (used > bits) [[unlikely]] {
      if (next < fast_limit) {
        refill_fast();
        run = unsigned(std::countl_zero(cache | 1));
        used = run + 1 + parameter;
      }
    }
    uint64_t folded;
    if (used <= bits) [[likely]] {
      // Quotient, stop bit and remainder are all in the cache: one shift takes them.
      folded = (uint64_t(run) << parameter) | ((cache >> (64 - used)) & remainder_mask);
      cache <<= used;
      bits -= used;
    } else {
      // A long quotient, or the end of the buffer: go bit by bit through the members.
      cache_ = cache, bits_ = bits, next_byte_ = next;
      uint64_t quotient, remainder;
      if (!read_unary(quotient) || !read(parameter, remainder)) return RiceStatus::Truncated;
      cache = cache_, bits = bits_, next = next_byte_;
      // A long run would overflow the shift below; such a value is out of range anyway.
      if (quotient > max_quotient) return RiceStatus::OutOfRange;
      folded = (quotient << parameter) | remainder;
    }
    if (folded > 0xFFFFFFFEull) [[unlikely]] {
      cache_ = cache, bits_ = bits, next_byte_ = next;
      return RiceStatus::OutOfRange;
    }
    out[i] = int64_t(folded >> 1) ^ -int64_t(folded & 1);
  }
  cache_ = cache, bits_ = bits, next_byte_ = next;
  return RiceStatus::Ok;
}

}  // namespace murello
