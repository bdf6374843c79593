#include "audiofile/flac_encoder/bit_writer.hpp"

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
