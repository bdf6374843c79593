#include "decode/bitreader.hpp"

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
  for (size_t i = 0; i < count; ++i) {
    refill();
    uint64_t quotient;
    unsigned run = cache_ != 0 ? unsigned(std::countl_zero(cache_)) : 64;
    if (run + 1 + parameter <= bits_) {
      // Common case: quotient, stop bit and remainder are all in the cache.
      quotient = run;
      consume(run + 1);
    } else {
      if (!read_unary(quotient)) return RiceStatus::Truncated;
      if (bits_ < parameter && !refill_for(parameter)) return RiceStatus::Truncated;
      // A long run would overflow the shift below; it is out of range anyway.
      if (quotient > max_quotient) {
        consume(parameter);
        return RiceStatus::OutOfRange;
      }
    }
    uint64_t folded = (quotient << parameter) | ((cache_ >> 1) >> (63 - parameter));
    consume(parameter);
    if (folded > 0xFFFFFFFEull) return RiceStatus::OutOfRange;
    out[i] = int64_t(folded >> 1) ^ -int64_t(folded & 1);
  }
  return RiceStatus::Ok;
}

}  // namespace murello
