// Hand-built FLAC streams for the decoder tests: a bit writer, STREAMINFO and frame
// builders that compute their own CRCs, so that a test can break exactly one rule and
// see which expectation and offset the decoder reports.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "audiofile/crc.hpp"
#include "audiofile/md5.hpp"

namespace murello::flac_testing {

class BitWriter {
 public:
  void put(uint64_t value, unsigned bits) {
    for (unsigned i = bits; i-- > 0;) put_bit((value >> i) & 1);
  }
  void put_signed(int64_t value, unsigned bits) { put(uint64_t(value), bits); }
  void put_unary(uint64_t zeros) {
    for (uint64_t i = 0; i < zeros; ++i) put_bit(0);
    put_bit(1);
  }
  // Rice code of a signed residual with parameter k.
  void put_rice(int64_t value, unsigned k) {
    uint64_t folded = value < 0 ? (uint64_t(-value) << 1) - 1 : uint64_t(value) << 1;
    put_unary(folded >> k);
    put(folded & ((uint64_t(1) << k) - 1), k);
  }
  void align() {
    while (used_ != 0) put_bit(0);
  }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  void put_bit(unsigned bit) {
    if (used_ == 0) bytes_.push_back(0);
    if (bit) bytes_.back() |= uint8_t(0x80 >> used_);
    used_ = (used_ + 1) & 7;
  }
  std::vector<uint8_t> bytes_;
  unsigned used_ = 0;
};

struct StreamInfo {
  uint32_t min_block = 16;
  uint32_t max_block = 4096;
  uint32_t rate_hz = 44100;
  unsigned channels = 1;
  unsigned bits = 16;
  uint64_t total_frames = 0;
  std::array<uint8_t, 16> md5{};
};

inline std::vector<uint8_t> block_header(bool last, unsigned type, uint32_t length) {
  return {uint8_t((last ? 0x80 : 0) | type), uint8_t(length >> 16), uint8_t(length >> 8),
          uint8_t(length)};
}

inline std::vector<uint8_t> stream_info_block(const StreamInfo& s, bool last = true) {
  BitWriter w;
  w.put(s.min_block, 16);
  w.put(s.max_block, 16);
  w.put(0, 24);
  w.put(0, 24);
  w.put(s.rate_hz, 20);
  w.put(s.channels - 1, 3);
  w.put(s.bits - 1, 5);
  w.put(s.total_frames, 36);
  for (uint8_t b : s.md5) w.put(b, 8);
  std::vector<uint8_t> out = block_header(last, 0, 34);
  out.insert(out.end(), w.bytes().begin(), w.bytes().end());
  return out;
}

// The header fields of a frame. Codes are the stored 4- and 3-bit codes; the explicit
// values follow the coded number when the codes ask for them.
struct FrameLayout {
  bool variable = false;
  unsigned block_code = 7;      // 16-bit explicit size by default
  uint32_t block_size = 16;     // the samples per channel the subframes hold
  unsigned rate_code = 0;
  uint32_t explicit_rate = 0;   // stored value for codes 12..14
  unsigned channel_code = 0;
  unsigned bits_code = 0;
  bool reserved = false;
  uint64_t number = 0;
};

inline void put_coded_number(BitWriter& w, uint64_t n) {
  if (n < 0x80) return w.put(n, 8);
  int octets = 2;
  while (octets < 7 && n >= (uint64_t(1) << (5 * octets + 1))) ++octets;
  // The first octet carries `octets` leading ones and 7 - octets value bits.
  uint8_t first = uint8_t(((0xFF00u >> octets) & 0xFF) | (n >> (6 * (octets - 1))));
  w.put(first, 8);
  for (int i = octets - 2; i >= 0; --i) w.put(0x80 | ((n >> (6 * i)) & 0x3F), 8);
}

// Frame header bytes including the CRC-8.
inline std::vector<uint8_t> frame_header(const FrameLayout& f) {
  BitWriter w;
  w.put(0xFFF8 | (f.variable ? 1 : 0), 16);
  w.put(f.block_code, 4);
  w.put(f.rate_code, 4);
  w.put(f.channel_code, 4);
  w.put(f.bits_code, 3);
  w.put(f.reserved ? 1 : 0, 1);
  put_coded_number(w, f.number);
  if (f.block_code == 6) w.put(f.block_size - 1, 8);
  if (f.block_code == 7) w.put(f.block_size - 1, 16);
  if (f.rate_code == 12) w.put(f.explicit_rate, 8);
  if (f.rate_code == 13 || f.rate_code == 14) w.put(f.explicit_rate, 16);
  std::vector<uint8_t> out = w.bytes();
  out.push_back(crc8(out));
  return out;
}

// A whole frame: the header, subframes written by `body`, padding and the CRC-16.
inline std::vector<uint8_t> frame(const FrameLayout& f, const std::function<void(BitWriter&)>& body) {
  BitWriter w;
  for (uint8_t b : frame_header(f)) w.put(b, 8);
  body(w);
  w.align();
  std::vector<uint8_t> out = w.bytes();
  uint16_t crc = crc16(out);
  out.push_back(uint8_t(crc >> 8));
  out.push_back(uint8_t(crc));
  return out;
}

inline void verbatim_subframe(BitWriter& w, std::span<const int64_t> samples, unsigned bits) {
  w.put(0x02, 8);
  for (int64_t s : samples) w.put_signed(s, bits);
}

inline void constant_subframe(BitWriter& w, int64_t value, unsigned bits) {
  w.put(0x00, 8);
  w.put_signed(value, bits);
}

// FIXED subframe of `order` with one Rice partition (method 0, parameter `k`).
inline void fixed_subframe(BitWriter& w, unsigned order, std::span<const int64_t> warm_up,
                           std::span<const int64_t> residuals, unsigned bits, unsigned k) {
  w.put(uint64_t(8 + order) << 1, 8);
  for (int64_t s : warm_up) w.put_signed(s, bits);
  w.put(0, 2);
  w.put(0, 4);
  w.put(k, 4);
  for (int64_t r : residuals) w.put_rice(r, k);
}

// The MD5 of interleaved samples as the format defines it.
inline std::array<uint8_t, 16> md5_of(std::span<const int64_t> interleaved, unsigned bits) {
  Md5 md5;
  for (int64_t s : interleaved)
    for (unsigned b = 0; b < (bits + 7) / 8; ++b) {
      uint8_t byte = uint8_t(uint64_t(s) >> (8 * b));
      md5.update(std::span(&byte, 1));
    }
  return md5.finish();
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline const std::vector<uint8_t> kMagic = {'f', 'L', 'a', 'C'};

}  // namespace murello::flac_testing
