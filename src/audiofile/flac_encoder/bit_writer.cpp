#include "audiofile/flac_encoder/bit_writer.hpp"

#include <algorithm>

namespace murello {

void FlacBitWriter::begin(size_t max_bytes) {
  size_t used = out_.size();
  // Four spare bytes let `spill` store a whole word without a bounds check.
  out_.resize(used + max_bytes + 4);
  cursor_ = out_.data() + used;
}

void FlacBitWriter::put_signed(int64_t value, unsigned bits) {
  uint64_t u = uint64_t(value);
  if (bits > 32) {
    put(uint32_t(u >> 32), bits - 32);
    bits = 32;
  }
  put(uint32_t(u), bits);
}

void FlacBitWriter::put_zeros(uint64_t count) {
  for (; count >= 32; count -= 32) put(0, 32);
  put(0, unsigned(count));
}

void FlacBitWriter::put_rice(std::span<const uint32_t> values, unsigned k) {
  // The state lives in locals for the loop: the stores of bytes may alias any member, so
  // the members would be read again after every store.
  uint64_t acc = acc_;
  unsigned pending = pending_;
  uint8_t* cursor = cursor_;
  assert(cursor + 4 <= out_.data() + out_.size() && "more bits than `begin` allowed for");
  // Stores the oldest 32 pending bits when there are 32. The word is stored either way
  // and the cursor moves only past a whole one: a spill every two or three codes follows
  // no pattern a branch predictor could learn. The four spare bytes of `begin` hold the
  // word that is not kept; the next store or `flush` overwrites it.
  auto spill = [&] {
    const unsigned whole = pending >= 32;
    pending -= 32 * whole;
    uint32_t word = uint32_t(acc >> pending);
    cursor[0] = uint8_t(word >> 24);
    cursor[1] = uint8_t(word >> 16);
    cursor[2] = uint8_t(word >> 8);
    cursor[3] = uint8_t(word);
    cursor += 4 * whole;
  };
  const uint32_t mask = (uint32_t(1) << k) - 1;
  for (uint32_t u : values) {
    uint32_t quotient = u >> k;
    uint32_t stop_and_low = (uint32_t(1) << k) | (u & mask);
    unsigned bits = k + 1;
    if (quotient < 32 - k) [[likely]] {
      bits += quotient;
    } else {
      // A long unary part: its zeros first, up to 32 at a time, then the stop bit and the
      // low bits. Below 32 pending bits there is room for 32 more.
      for (uint32_t zeros = quotient; zeros > 0;) {
        unsigned run = std::min<uint32_t>(zeros, 32);
        acc <<= run;
        pending += run;
        zeros -= run;
        spill();
      }
    }
    acc = (acc << bits) | stop_and_low;
    pending += bits;
    spill();
  }
  assert(cursor + 4 <= out_.data() + out_.size() && "more bits than `begin` allowed for");
  acc_ = acc;
  pending_ = pending;
  cursor_ = cursor;
}

void FlacBitWriter::align() {
  if (pending_ % 8) put(0, 8 - pending_ % 8);
}

void FlacBitWriter::flush() {
  while (pending_ >= 8) {
    pending_ -= 8;
    *cursor_++ = uint8_t(acc_ >> pending_);
  }
}

void FlacBitWriter::finish() {
  flush();
  out_.resize(size_t(cursor_ - out_.data()));
  cursor_ = nullptr;
}

}  // namespace murello
