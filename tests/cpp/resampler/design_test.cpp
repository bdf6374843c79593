#include "resampler/design.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "resampler/kernel.hpp"

namespace murello {
namespace {

TEST(ResamplerKernel, OwnSineFollowsTheLibrarySineOverTheDesignRange) {
  // Filter design never needs more than a few hundred radians.
  for (double a = -400; a <= 400; a += 0.0137) {
    ASSERT_NEAR(kernel_sine(a), std::sin(a), 1e-13) << a;
  }
  EXPECT_EQ(kernel_sine(0), 0);
}

TEST(ResamplerKernel, BesselSeriesMatchesTheLibraryBessel) {
  for (double arg : {0.0, 1e-9, 0.5, 3.0, kKaiserBeta}) {
    const double x = (arg / 2) * (arg / 2);
    EXPECT_NEAR(bessel_i0_series(x), std::cyl_bessel_i(0.0, arg),
                1e-14 * std::cyl_bessel_i(0.0, arg))
        << arg;
  }
}

// The series summed side by side gives each value exactly as summed alone, however
// many terms each needs.
TEST(ResamplerKernel, BesselSeriesSideBySideMatchesOneAtATime) {
  std::vector<double> x = {0.0, 1e-300, 1e-17, 0.25, 3.0};
  for (double v = 0; v < 17.3; v += 0.37) x.push_back(v);
  std::vector<double> many(x.size());
  bessel_i0_series(x.data(), x.size(), many.data());
  for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(many[i], bessel_i0_series(x[i])) << x[i];
}

TEST(ResamplerKernel, WindowedSincIsSymmetricWithUnitDcGain) {
  const std::vector<double> h = windowed_sinc(637, kaiser_cutoff(16000, 48000));
  ASSERT_EQ(h.size(), 637u);
  for (size_t i = 0; i < h.size(); ++i) ASSERT_EQ(h[i], h[h.size() - 1 - i]) << i;
  EXPECT_NEAR(std::accumulate(h.begin(), h.end(), 0.0), 1.0, 1e-12);
  // The centre tap is the largest and the window takes the ends almost to zero.
  EXPECT_EQ(std::max_element(h.begin(), h.end()) - h.begin(), 318);
  EXPECT_LT(std::abs(h.front()), 1e-5 * h[318]);
}

struct Shape {
  uint32_t input_hz;
  uint32_t output_hz;
  ResamplerForm form;
  uint64_t length;
  uint64_t taps;
  uint64_t group_delay_frames;
};

class ResamplerDesignShape : public ::testing::TestWithParam<Shape> {};

TEST_P(ResamplerDesignShape, LengthTapsAndDelay) {
  const Shape& s = GetParam();
  auto d = design_filter(s.input_hz, s.output_hz);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d->form, s.form);
  EXPECT_EQ(d->length, s.length);
  EXPECT_EQ(d->taps, s.taps);
  EXPECT_EQ(d->group_delay_frames, s.group_delay_frames);
  if (s.form != ResamplerForm::Identity) {
    EXPECT_EQ(d->table.size(), 1 + d->phases * d->taps);
  }
}

INSTANTIATE_TEST_SUITE_P(
    CommonPairs, ResamplerDesignShape,
    ::testing::Values(Shape{48000, 16000, ResamplerForm::Rational, 637, 637, 106},
                      Shape{16000, 48000, ResamplerForm::Rational, 637, 213, 318},
                      Shape{44100, 16000, ResamplerForm::Rational, 93493, 585, 106},
                      // L = 1024 is the last exact pair, L = 1025 the first interpolated.
                      Shape{1023, 1024, ResamplerForm::Rational, 218923, 214, 107},
                      Shape{1024, 1025, ResamplerForm::Interpolated, 108485, 212, 106},
                      Shape{44101, 48000, ResamplerForm::Interpolated, 108485, 212, 115},
                      Shape{48000, 48000, ResamplerForm::Identity, 0, 0, 0}));

TEST(ResamplerDesign, InterpolatedFormHas512Phases) {
  auto d = design_filter(48000, 44101);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d->form, ResamplerForm::Interpolated);
  EXPECT_EQ(d->phases, 512u);
  EXPECT_EQ(d->up, 44101u);
  EXPECT_EQ(d->down, 48000u);
  EXPECT_EQ(d->length % 2, 1u);
}

TEST(ResamplerDesign, RationalLengthCentresOnAnOutputSample) {
  for (auto [in, out] : {std::pair{44100u, 16000u}, {48000u, 44100u}, {8000u, 11025u}}) {
    auto d = design_filter(in, out);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ((d->length - 1) % (2 * d->down), 0u) << in << " -> " << out;
  }
}

// Each table entry is h[p + phases·k] × phases, a float value, and the prototype is
// symmetric: entry (p, k) mirrors the entry holding h[N − 1 − (p + phases·k)].
TEST(ResamplerDesign, TableHoldsFloatValuesOfTheSymmetricPrototype) {
  for (auto [in, out] : {std::pair{16000u, 48000u}, {44100u, 48000u}, {48000u, 44101u}}) {
    auto d = design_filter(in, out);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d->table.front(), 0.0);
    for (uint64_t index = 0; index < d->phases * d->taps; index += 7) {
      const uint64_t p = index % d->phases, k = index / d->phases;
      const double c = d->coefficient(p, k);
      ASSERT_EQ(double(float(c)), c);
      if (index >= d->length) {
        ASSERT_EQ(c, 0.0) << index;
        continue;
      }
      const uint64_t mirror = d->length - 1 - index;
      ASSERT_EQ(c, d->coefficient(mirror % d->phases, mirror / d->phases)) << index;
    }
  }
}

TEST(ResamplerDesign, ZeroRatesAreRefusedFirst) {
  for (auto [in, out] : {std::pair{0u, 16000u}, {16000u, 0u}, {0u, 0u}}) {
    auto d = design_filter(in, out);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().kind, ResamplerError::Kind::ZeroSampleRate);
    EXPECT_EQ(d.error().message(), "sample rate must be greater than 0");
  }
}

TEST(ResamplerDesign, OversizedFiltersAreRefusedWithTheirRates) {
  for (auto [in, out] : {std::pair{384000u, 1001u}, {4294967295u, 1u}, {4294967291u, 1031u}}) {
    auto d = design_filter(in, out);
    ASSERT_FALSE(d.ok()) << in << " -> " << out;
    EXPECT_EQ(d.error().kind, ResamplerError::Kind::FilterTooLarge);
    EXPECT_EQ(d.error().input_rate, in);
    EXPECT_EQ(d.error().output_rate, out);
    EXPECT_EQ(d.error().message(),
              "the requested rate pair requires a filter larger than the supported maximum");
  }
}

}  // namespace
}  // namespace murello
