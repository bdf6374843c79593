#include "core/sanitise.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace murello {
namespace {

constexpr uint32_t kExponentBits = 0x7f800000u;
constexpr uint32_t kMagnitudeBits = 0x7fffffffu;
constexpr uint32_t kOneBits = 0x3f800000u;  // 1.0f

}  // namespace

SaveCounts count_unsafe_samples(std::span<const float> samples) {
  // Integer tests on the magnitude's bits keep the loop branch-free so it vectorises:
  // for non-negative floats the bit patterns order as the values do.
  uint64_t clipped = 0;
  uint64_t non_finite = 0;
  for (const float sample : samples) {
    const uint32_t magnitude = std::bit_cast<uint32_t>(sample) & kMagnitudeBits;
    const bool special = magnitude >= kExponentBits;
    non_finite += special;
    clipped += !special && magnitude > kOneBits;
  }
  return {clipped, non_finite};
}

uint64_t replace_non_finite(std::span<float> samples) {
  uint64_t replaced = 0;
  for (float& sample : samples) {
    if (std::isfinite(sample)) continue;
    sample = std::isnan(sample) ? 0.0f : std::copysign(1.0f, sample);
    ++replaced;
  }
  return replaced;
}

void limit_for_output(std::span<float> samples) {
  // An infinity is no louder signal than any other garbage: it is silenced, not clipped.
  for (float& sample : samples) {
    const uint32_t magnitude = std::bit_cast<uint32_t>(sample) & kMagnitudeBits;
    const float clipped = std::clamp(sample, -1.0f, 1.0f);
    sample = magnitude >= kExponentBits ? 0.0f : clipped;
  }
}

}  // namespace murello
