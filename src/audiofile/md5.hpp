// Md5: the MD5 message digest, fed incrementally.
//
// Conventions: input is a byte stream of any length, fed in pieces of any size (bytes);
// the digest is 16 bytes in the order the standard prints them. `finish()` ends the
// message; feed nothing after it without calling `reset()`. One owner at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace murello {

class Md5 {
 public:
  Md5() { reset(); }

  // Starts a new, empty message.
  void reset();

  // Appends bytes to the message.
  void update(std::span<const uint8_t> bytes);

  // Pads the message and returns its digest.
  std::array<uint8_t, 16> finish();

 private:
  void compress_blocks(const uint8_t* blocks, size_t block_count);

  std::array<uint32_t, 4> state_{};
  std::array<uint8_t, 64> pending_{};
  size_t pending_bytes_ = 0;
  uint64_t total_bytes_ = 0;
};

}  // namespace murello
