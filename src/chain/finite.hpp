// Keeping a chain's signal within what its stages can carry.
//
// Conventions: samples are 32-bit floats; a non-finite sample is an infinity or a NaN.
// A sample beyond +-kLargestInput is not audio at any scale a file or device uses (32-bit
// integer samples taken as floats reach 2^31), and arithmetic on values near the float
// maximum overflows: the chain treats such samples as it treats non-finite ones.
#pragma once

#include <cmath>
#include <limits>
#include <span>
#include <vector>

namespace murello {

inline constexpr float kLargestInput = 4294967296.0f;  // 2^32

inline bool is_finite_sample(float x) {
  return std::fabs(x) <= std::numeric_limits<float>::max();
}

// Appends `in` with every sample that is non-finite or beyond +-kLargestInput (a NaN
// fails both comparisons) replaced by 0.0.
void append_bounded(std::span<const float> in, std::vector<float>& out);

// Replaces every non-finite sample by 0.0, in place.
void zero_non_finite(std::span<float> samples);

// Whether every sample is finite.
bool all_finite(std::span<const float> samples);

}  // namespace murello
