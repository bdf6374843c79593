#include "resampler/dot.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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

// The float rounding of the ascending double sum, and how far a reordered sum may land
// from it: a few double roundings of the summed magnitudes, then the float rounding.
struct Expected {
  double sum = 0;
  double slack = 0;
};

Expected ascending(const double* c, const double* x, size_t n) {
  Expected e;
  double magnitude = 0;
  for (size_t k = 0; k < n; ++k) {
    e.sum += c[k] * x[k];
    magnitude += std::abs(c[k] * x[k]);
  }
  e.slack = 1e-15 * magnitude + std::abs(e.sum) * 0x1p-24;
  return e;
}

// Every length up to a few vector strides exercises the vector loop and the remainder;
// 213 and 637 are the rows of 16000 <-> 48000.
constexpr size_t kLengths[] = {1, 2, 7, 8, 9, 15, 16, 17, 31, 33, 40, 213, 637};

// Strides of whole 64-byte lines (8 and 160 doubles) read the windows another way, which
// depends on where in a line they start; an output computed alone at stride 1 is read
// the plain way, and the two must agree bit for bit from every start.
TEST(ResamplerDot, StridedDotsMatchTheAscendingSumAndIgnoreTheGrouping) {
  std::mt19937 rng(7);
  for (size_t n : kLengths) {
    for (size_t stride : {1u, 3u, 8u, 160u}) {
      for (size_t start = 0; start < 8; ++start) {
        // 9 and 12 end in a short group (taken four at a time), 6 in one taken with eight.
        const size_t count = start % 3 == 0 ? 6 : start % 3 == 1 ? 9 : 12;
        const auto row = random_doubles(n, rng);
        const auto line = random_doubles(start + n + stride * count, rng);
        const double* first = line.data() + start;
        std::vector<float> out(2 * count, -7.0f);
        strided_dots(row.data(), n, first, stride, count, out.data(), 2);
        for (size_t t = 0; t < count; ++t) {
          const Expected e = ascending(row.data(), first + t * stride, n);
          EXPECT_NEAR(out[2 * t], e.sum, e.slack) << n << " " << stride << " " << t;
          EXPECT_EQ(out[2 * t + 1], -7.0f);
          float alone;
          strided_dots(row.data(), n, first + t * stride, 1, 1, &alone, 1);
          EXPECT_EQ(alone, out[2 * t]) << n << " " << stride << " " << start << " " << t;
        }
      }
    }
  }
}

// A pair is two strided_dots to the bit, from every place in a line, for shifts that
// share the window loads and one that does not, with a NaN just beside each pair of
// windows that neither may read.
TEST(ResamplerDot, PairedDotsAreTwoStridedDots) {
  std::mt19937 rng(9);
  const double nan = std::nan("");
  for (size_t n : {1u, 7u, 8u, 9u, 17u, 40u, 213u, 585u}) {
    for (size_t stride : {3u, 8u, 3528u}) {
      for (size_t shift : {0u, 1u, 3u, 7u, 8u, 9u}) {
        for (size_t start = 0; start < 8; ++start) {
          const size_t count = start % 2 ? 16 : 11;
          const auto row_a = random_doubles(n, rng), row_b = random_doubles(n, rng);
          auto line = random_doubles(16 + start + n + shift + stride * count, rng);
          const double* first = line.data() + 8 + start;
          for (size_t t = 0; t < count; ++t) {
            line[8 + start + t * stride - 1] = nan;
            line[8 + start + t * stride + shift + n] = nan;
          }
          if (stride < n + shift + 1) continue;  // the NaNs would lie inside other windows
          std::vector<float> a(count), b(count), alone_a(count), alone_b(count);
          paired_strided_dots(row_a.data(), row_b.data(), n, first, shift, stride, count,
                              a.data(), b.data(), 1);
          strided_dots(row_a.data(), n, first, stride, count, alone_a.data(), 1);
          strided_dots(row_b.data(), n, first + shift, stride, count, alone_b.data(), 1);
          ASSERT_EQ(a, alone_a) << n << " " << stride << " " << shift << " " << start;
          ASSERT_EQ(b, alone_b) << n << " " << stride << " " << shift << " " << start;
        }
      }
    }
  }
}

TEST(ResamplerDot, BlendedDotsMatchTheAscendingSumAndIgnoreTheGrouping) {
  std::mt19937 rng(8);
  for (size_t n : kLengths) {
    const auto lower = random_doubles(n, rng), upper = random_doubles(n, rng);
    const auto line = random_doubles(n + 100, rng);
    std::vector<BlendJob> jobs;
    for (uint32_t j = 0; j < 9; ++j) jobs.push_back({j * 11, 8 - j, j / 9.0});
    std::vector<float> out(9);
    blended_dots(lower.data(), upper.data(), n, line.data(), jobs.data(), jobs.size(),
                 out.data());
    for (const BlendJob& job : jobs) {
      std::vector<double> blend(n);
      for (size_t k = 0; k < n; ++k) blend[k] = lower[k] + job.frac * (upper[k] - lower[k]);
      const Expected e = ascending(blend.data(), line.data() + job.window, n);
      EXPECT_NEAR(out[job.output], e.sum, e.slack) << n << " job " << job.output;
      float alone;
      const BlendJob single = {job.window, 0, job.frac};
      blended_dots(lower.data(), upper.data(), n, line.data(), &single, 1, &alone);
      EXPECT_EQ(alone, out[job.output]) << n << " job " << job.output;
    }
  }
}

// The kernels read exactly `taps` values of each row and window: a NaN just past the
// end must not leak in, whatever the group.
TEST(ResamplerDot, KernelsStopAtTheLength) {
  const double nan = std::nan("");
  for (size_t n : {1u, 5u, 8u, 17u, 33u}) {
    std::vector<double> ones(n + 8, 1.0);
    ones[n] = nan;
    std::vector<float> out(6);
    strided_dots(ones.data(), n, ones.data(), 0, 6, out.data(), 1);
    for (float y : out) EXPECT_EQ(y, float(n)) << n;
    const BlendJob jobs[] = {{0, 0, 0.5}, {0, 1, 0.25}, {0, 2, 1.0}};
    blended_dots(ones.data(), ones.data(), n, ones.data(), jobs, 3, out.data());
    for (size_t j = 0; j < 3; ++j) EXPECT_EQ(out[j], float(n)) << n;
  }
}

// The last taps of a length that is not a multiple of eight are read as the eight values
// ending at the row's end, with the lanes already summed zeroed: an infinite sample there
// must count once, as infinity, not turn the sum into NaN through a zeroed lane.
TEST(ResamplerDot, AnInfiniteSampleCountsOnlyAtItsTap) {
  const double inf = std::numeric_limits<double>::infinity();
  for (size_t n : {9u, 15u, 17u, 231u}) {
    for (size_t at : {size_t{0}, n - 8, n - 7, n - 1}) {
      std::vector<double> ones(n, 1.0), line(n, 1.0);
      line[at] = inf;
      float out;
      strided_dots(ones.data(), n, line.data(), 0, 1, &out, 1);
      EXPECT_EQ(out, inf) << n << " " << at;
      const BlendJob job = {0, 0, 0.5};
      blended_dots(ones.data(), ones.data(), n, line.data(), &job, 1, &out);
      EXPECT_EQ(out, inf) << n << " " << at;
    }
  }
}

}  // namespace
}  // namespace murello
