#include "chain/finite.hpp"

#include <algorithm>

namespace murello {

void append_bounded(std::span<const float> in, std::vector<float>& out) {
  const size_t start = out.size();
  out.resize(start + in.size());
  float* dst = out.data() + start;
  for (size_t i = 0; i < in.size(); ++i) {
    const float x = in[i];
    dst[i] = std::fabs(x) <= kLargestInput ? x : 0.0f;
  }
}

void zero_non_finite(std::span<float> samples) {
  for (float& x : samples) x = is_finite_sample(x) ? x : 0.0f;
}

bool all_finite(std::span<const float> samples) {
  return std::all_of(samples.begin(), samples.end(), is_finite_sample);
}

}  // namespace murello
