#include "sources/sanitise.hpp"

#include <algorithm>
#include <bit>

namespace murello {
namespace {

constexpr uint32_t kExponentBits = 0x7f800000u;
constexpr uint32_t kMantissaBits = 0x007fffffu;

}  // namespace

SaveCounts sanitise(std::span<float> samples) {
  // Branch-free so the loop vectorises; the bit tests avoid isnan/isfinite calls, whose
  // library forms block that.
  uint64_t clipped = 0;
  uint64_t non_finite = 0;
  for (float& sample : samples) {
    const uint32_t bits = std::bit_cast<uint32_t>(sample);
    const bool special = (bits & kExponentBits) == kExponentBits;
    const bool nan = special && (bits & kMantissaBits) != 0;
    const float value = nan ? 0.0f : sample;
    const float bounded = std::clamp(value, -1.0f, 1.0f);
    non_finite += special;
    clipped += !special && bounded != value;
    sample = bounded;
  }
  return {clipped, non_finite};
}

}  // namespace murello
