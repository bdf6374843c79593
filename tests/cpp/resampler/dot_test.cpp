#include "resampler/dot.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
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

double ascending_dot(const std::vector<double>& a, const std::vector<double>& x) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += a[i] * x[i];
  return sum;
}

// Rounding may differ from the ascending sum by a few units of the summed magnitudes.
double bound(const std::vector<double>& a, const std::vector<double>& x) {
  double magnitude = 0;
  for (size_t i = 0; i < a.size(); ++i) magnitude += std::abs(a[i] * x[i]);
  return 1e-15 * (magnitude + 1);
}

// Every length up to a few vector strides exercises the main loop, the short loop and
// the scalar tail; 213 and 637 are the rows of 16000 <-> 48000.
std::vector<size_t> lengths() {
  std::vector<size_t> n(41);
  std::iota(n.begin(), n.end(), 0);
  n.push_back(213);
  n.push_back(637);
  return n;
}

TEST(ResamplerDot, KernelsAgreeWithTheAscendingSum) {
  std::mt19937 rng(7);
  for (const auto& [name, kernels] : kernel_sets()) {
    for (size_t n : lengths()) {
      const auto a = random_doubles(n, rng), b = random_doubles(n, rng),
                 x = random_doubles(n, rng);
      EXPECT_NEAR(kernels.dot(a.data(), x.data(), n), ascending_dot(a, x), bound(a, x))
          << name << " " << n;

      const double frac = 0.3125;
      std::vector<double> blend(n);
      for (size_t i = 0; i < n; ++i) blend[i] = a[i] + frac * (b[i] - a[i]);
      EXPECT_NEAR(kernels.blended_dot(a.data(), b.data(), frac, x.data(), n),
                  ascending_dot(blend, x), bound(a, x) + bound(b, x))
          << name << " " << n;

      std::vector<double> palindrome = a;
      std::copy(a.begin(), a.begin() + n / 2, palindrome.rbegin());
      EXPECT_NEAR(kernels.symmetric_dot(palindrome.data(), x.data(), n),
                  ascending_dot(palindrome, x), bound(palindrome, x))
          << name << " " << n;

      const double* rows[kMaxRowGroup] = {a.data(), b.data(), blend.data(), palindrome.data()};
      const std::vector<double>* row_values[] = {&a, &b, &blend, &palindrome};
      for (size_t count = 2; count <= kMaxRowGroup; ++count) {
        double y[kMaxRowGroup];
        kernels.multi_dot(rows, count, x.data(), n, y);
        for (size_t r = 0; r < count; ++r) {
          EXPECT_NEAR(y[r], ascending_dot(*row_values[r], x), bound(*row_values[r], x))
              << name << " " << n << " row " << r << " of " << count;
        }
      }
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
      EXPECT_EQ(kernels.symmetric_dot(ones.data(), ones.data(), n), double(n)) << name << " " << n;
      const double* rows[] = {ones.data(), ones.data(), ones.data()};
      double y[3];
      kernels.multi_dot(rows, 3, ones.data(), n, y);
      EXPECT_EQ(y[2], double(n)) << name << " " << n;
    }
  }
}

}  // namespace
}  // namespace murello
