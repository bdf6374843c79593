#include "resampler/dot.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace murello {
namespace {

std::vector<double> random_doubles(size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<double> dist(-1, 1);
  std::vector<double> v(n);
  for (double& x : v) x = dist(rng);
  return v;
}

std::vector<std::pair<const char*, DotKernels>> kernel_sets() {
  std::vector<std::pair<const char*, DotKernels>> sets = {{"generic", generic_dot_kernels()}};
  if (fma_dot_supported()) sets.emplace_back("fma", fma_dot_kernels());
  return sets;
}

// Every length up to a few vector strides exercises the main loop, the short loop and
// the scalar tail; 637 is the 48000 -> 16000 row.
TEST(ResamplerDot, KernelsAgreeWithTheAscendingSum) {
  std::mt19937 rng(7);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 40; ++n) lengths.push_back(n);
  lengths.push_back(637);
  for (const auto& [name, kernels] : kernel_sets()) {
    for (size_t n : lengths) {
      const auto a = random_doubles(n, rng), b = random_doubles(n, rng),
                 x = random_doubles(n, rng);
      const double frac = 0.3125;
      double plain = 0, blended = 0, magnitude = 0;
      for (size_t i = 0; i < n; ++i) {
        plain += a[i] * x[i];
        blended += (a[i] + frac * (b[i] - a[i])) * x[i];
        magnitude += std::abs(a[i] * x[i]) + std::abs(b[i] * x[i]);
      }
      const double bound = 1e-15 * (magnitude + 1);
      EXPECT_NEAR(kernels.dot(a.data(), x.data(), n), plain, bound) << name << " " << n;
      EXPECT_NEAR(kernels.blended_dot(a.data(), b.data(), frac, x.data(), n), blended, bound)
          << name << " " << n;
    }
  }
}

// The kernels read exactly n values: a NaN just past the end must not leak in.
TEST(ResamplerDot, KernelsStopAtTheLength) {
  const double nan = std::nan("");
  for (const auto& [name, kernels] : kernel_sets()) {
    for (size_t n : {1u, 5u, 17u, 33u}) {
      std::vector<double> ones(n + 1, 1.0);
      ones[n] = nan;
      EXPECT_EQ(kernels.dot(ones.data(), ones.data(), n), double(n)) << name << " " << n;
      EXPECT_EQ(kernels.blended_dot(ones.data(), ones.data(), 0.5, ones.data(), n), double(n))
          << name << " " << n;
    }
  }
}

}  // namespace
}  // namespace murello
