#include "audiofile/md5.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace murello {
namespace {

constexpr std::array<uint32_t, 64> kSineTable = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};

constexpr std::array<int, 16> kShifts = {7, 12, 17, 22, 5, 9, 14, 20,
                                         4, 11, 16, 23, 6, 10, 15, 21};

uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Step kStep of the 64; everything that depends only on the step is a constant, and
// the message word and table constant are added before the round function so that the
// sum can start while the previous step is still running.
template <int kStep>
inline void md5_step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, const uint32_t* w) {
  constexpr int kRound = kStep / 16;
  constexpr int kWord = kRound == 0   ? kStep
                        : kRound == 1 ? (5 * kStep + 1) % 16
                        : kRound == 2 ? (3 * kStep + 5) % 16
                                      : (7 * kStep) % 16;
  uint32_t f;
  if constexpr (kRound == 0) f = d ^ (b & (c ^ d));
  else if constexpr (kRound == 1) f = (b & d) + (c & ~d);
  else if constexpr (kRound == 2) f = b ^ c ^ d;
  else f = c ^ (b | ~d);
  a = b + std::rotl(a + (kSineTable[kStep] + w[kWord]) + f, kShifts[kRound * 4 + kStep % 4]);
}

template <int... kQuads>
inline void md5_steps(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, const uint32_t* w,
                      std::integer_sequence<int, kQuads...>) {
  ((md5_step<kQuads * 4>(a, b, c, d, w), md5_step<kQuads * 4 + 1>(d, a, b, c, w),
    md5_step<kQuads * 4 + 2>(c, d, a, b, w), md5_step<kQuads * 4 + 3>(b, c, d, a, w)),
   ...);
}

}  // namespace

void Md5::reset() {
  state_ = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  pending_bytes_ = 0;
  total_bytes_ = 0;
}

void Md5::compress_blocks(const uint8_t* blocks, size_t block_count) {
  for (size_t n = 0; n < block_count; ++n, blocks += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_le32(blocks + 4 * i);
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    md5_steps(a, b, c, d, w, std::make_integer_sequence<int, 16>{});
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
  }
}

void Md5::update(std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
  total_bytes_ += left;
  if (pending_bytes_ > 0) {
    size_t take = std::min(left, pending_.size() - pending_bytes_);
    std::memcpy(pending_.data() + pending_bytes_, p, take);
    pending_bytes_ += take;
    p += take;
    left -= take;
    if (pending_bytes_ < pending_.size()) return;
    compress_blocks(pending_.data(), 1);
    pending_bytes_ = 0;
  }
  size_t whole = left / 64;
  compress_blocks(p, whole);
  p += whole * 64;
  left -= whole * 64;
  if (left > 0) std::memcpy(pending_.data(), p, left);
  pending_bytes_ = left;
}

std::array<uint8_t, 16> Md5::finish() {
  uint64_t bit_count = total_bytes_ * 8;
  std::array<uint8_t, 72> tail{};
  tail[0] = 0x80;
  size_t pad_bytes = (pending_bytes_ < 56 ? 56 : 120) - pending_bytes_;
  for (int i = 0; i < 8; ++i) tail[pad_bytes + i] = uint8_t(bit_count >> (8 * i));
  update(std::span(tail.data(), pad_bytes + 8));
  std::array<uint8_t, 16> digest;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = uint8_t(state_[i] >> (8 * j));
  return digest;
}

}  // namespace murello
