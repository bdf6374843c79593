// Float samples to signed integers of a given width, the one rule for every integer
// output of the project (files, int16 blocks at the boundary).
#pragma once

#include <cstdint>

namespace murello {

// trunc(clamp(x, -1, +1) * 2^(bits-1)), limited to the signed range; NaN has no sensible
// integer, so it becomes silence. Scaling first and clamping the scaled value gives the same
// result (the scale is a power of two) and keeps every select directly in front of the
// conversion, where the compiler can turn it into vector blends.
template <int kBits>
inline int32_t quantise(float x) {
  constexpr float kFull = static_cast<float>(1u << (kBits - 1));
  constexpr float kMax = kFull - 1.0f;  // exact for up to 24 bits
  float s = x * kFull;
  s = s == s ? s : 0.0f;
  s = s > -kFull ? s : -kFull;
  return static_cast<int32_t>(s < kMax ? s : kMax);
}

// 2^31 - 1 is no float; +1.0 (2^31 scaled) is mapped to it after the conversion.
template <>
inline int32_t quantise<32>(float x) {
  constexpr float kFull = 2147483648.0f;
  constexpr float kBelowFull = 2147483520.0f;  // the largest float below 2^31
  float s = x * kFull;
  s = s == s ? s : 0.0f;
  s = s > -kFull ? s : -kFull;
  const int32_t v = static_cast<int32_t>(s < kBelowFull ? s : kBelowFull);
  return s >= kFull ? 2147483647 : v;
}

}  // namespace murello
