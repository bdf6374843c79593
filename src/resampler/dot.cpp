#include "resampler/dot.hpp"

namespace murello {
namespace {

// Eight independent partial sums break the dependency chain and map onto vector
// registers; the tail is summed into them lane by lane.
constexpr size_t kLanes = 8;

double sum_lanes(const double (&acc)[kLanes]) {
  return ((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]));
}

double generic_dot(const double* __restrict coefs, const double* __restrict samples, size_t n) {
  double acc[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (size_t l = 0; l < kLanes; ++l) acc[l] += coefs[i + l] * samples[i + l];
  }
  for (size_t l = 0; i < n; ++i, ++l) acc[l] += coefs[i] * samples[i];
  return sum_lanes(acc);
}

double generic_symmetric_dot(const double* __restrict coefs, const double* __restrict samples,
                             size_t n) {
  const size_t half = n / 2;
  double acc[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= half; i += kLanes) {
    for (size_t l = 0; l < kLanes; ++l) {
      acc[l] += coefs[i + l] * (samples[i + l] + samples[n - 1 - i - l]);
    }
  }
  for (size_t l = 0; i < half; ++i, ++l) acc[l] += coefs[i] * (samples[i] + samples[n - 1 - i]);
  if (n % 2) acc[kLanes - 1] += coefs[half] * samples[half];
  return sum_lanes(acc);
}

void generic_multi_dot(const double* const* rows, size_t count, const double* samples, size_t n,
                       double* results) {
  for (size_t r = 0; r < count; ++r) results[r] = generic_dot(rows[r], samples, n);
}

double generic_blended_dot(const double* __restrict lower, const double* __restrict upper,
                           double frac, const double* __restrict samples, size_t n) {
  double acc[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (size_t l = 0; l < kLanes; ++l) {
      const double c = lower[i + l] + frac * (upper[i + l] - lower[i + l]);
      acc[l] += c * samples[i + l];
    }
  }
  for (size_t l = 0; i < n; ++i, ++l) {
    acc[l] += (lower[i] + frac * (upper[i] - lower[i])) * samples[i];
  }
  return sum_lanes(acc);
}

}  // namespace

DotKernels generic_dot_kernels() {
  return {generic_dot, generic_symmetric_dot, generic_multi_dot, generic_blended_dot};
}

DotKernels best_dot_kernels() {
  return fma_dot_supported() ? fma_dot_kernels() : generic_dot_kernels();
}

}  // namespace murello
