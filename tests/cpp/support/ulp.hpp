// Distances between floats counted in representable values, for results that may differ
// only in their rounding.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace murello::testing {

// Distance in representable floats; 0 for equal values, 1 for neighbours.
inline int64_t ulp_distance(float a, float b) {
  auto ordered = [](float f) {
    int32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits < 0 ? int64_t{INT32_MIN} - bits : int64_t{bits};
  };
  return std::llabs(ordered(a) - ordered(b));
}

// Whether a and b are within `ulps` floats of each other, or within `tiny` where the
// values are too small for a float's step to mean much.
inline bool within_ulps(float a, float b, int64_t ulps, double tiny) {
  return ulp_distance(a, b) <= ulps || std::abs(double(a) - double(b)) <= tiny;
}

}  // namespace murello::testing
