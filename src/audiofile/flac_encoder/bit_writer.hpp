// FlacBitWriter: appends MSB-first bit fields to a byte vector, as FLAC frames store them.
//
// Conventions: widths are bits; values are written from their low `bits` bits. The writer
// sizes the vector once per frame (`begin` with an upper bound in bytes) and trims it in
// `finish`, so no byte is pushed one at a time. Not thread-safe.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace murello {

class FlacBitWriter {
 public:
  explicit FlacBitWriter(std::vector<uint8_t>& out) : out_(out) {}

  // Starts a run of writes that will add at most `max_bytes` bytes to the vector.
  void begin(size_t max_bytes);

  // Writes the low `bits` bits of `value`, bits <= 32.
  void put(uint32_t value, unsigned bits) {
    acc_ = (acc_ << bits) | (value & low_mask(bits));
    pending_ += bits;
    if (pending_ >= 32) spill();
  }

  // Writes the low `bits` bits of a signed value in two's complement, bits <= 64.
  void put_signed(int64_t value, unsigned bits);

  void put_zeros(uint64_t count);

  // Writes each value as a Rice code of parameter k (k <= 30): the quotient value >> k in
  // unary, as that many zeros and a one, then the value's low k bits.
  void put_rice(std::span<const uint32_t> values, unsigned k);

  // Pads with zero bits to the next byte boundary.
  void align();

  // Stores the pending bits; the position must be byte-aligned. Afterwards every byte
  // written so far is in the vector, below `byte_position()`.
  void flush();
  size_t byte_position() const { return size_t(cursor_ - out_.data()); }

  // Flushes and trims the vector to the bytes written; ends the run.
  void finish();

  // Bits written since `begin`, counting from the start of the vector.
  uint64_t bit_position() const { return uint64_t(cursor_ - out_.data()) * 8 + pending_; }

  std::vector<uint8_t>& bytes() { return out_; }

 private:
  static uint64_t low_mask(unsigned bits) { return (uint64_t(1) << bits) - 1; }

  // Moves the oldest 32 pending bits into the vector.
  void spill() {
    assert(cursor_ + 4 <= out_.data() + out_.size() && "more bits than `begin` allowed for");
    pending_ -= 32;
    uint32_t word = uint32_t(acc_ >> pending_);
    cursor_[0] = uint8_t(word >> 24);
    cursor_[1] = uint8_t(word >> 16);
    cursor_[2] = uint8_t(word >> 8);
    cursor_[3] = uint8_t(word);
    cursor_ += 4;
  }

  std::vector<uint8_t>& out_;
  uint8_t* cursor_ = nullptr;
  uint64_t acc_ = 0;
  unsigned pending_ = 0;  // bits held in acc_, always below 32 between calls
};

}  // namespace murello
