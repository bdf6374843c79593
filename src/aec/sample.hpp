// Sample helpers shared by the canceller's parts.
#pragma once

#include <bit>
#include <cstdint>
#include <span>

namespace murello::aec {

// The canceller's input rule: a sample whose exponent bits are all ones
// (infinity or NaN) enters as 0.0.
inline float finite_or_zero(float x) {
  return (std::bit_cast<std::uint32_t>(x) & 0x7f800000u) == 0x7f800000u ? 0.0f : x;
}

// Sum of squares, in double precision.
inline double energy(std::span<const float> x) {
  double e = 0.0;
  for (float v : x) e += static_cast<double>(v) * v;
  return e;
}

}  // namespace murello::aec
