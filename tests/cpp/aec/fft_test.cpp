#include "aec/fft.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace murello::aec {
namespace {

RealFft plan(std::size_t n) {
  auto p = RealFft::create(n);
  EXPECT_TRUE(p.ok());
  return std::move(p).value();
}

TEST(RealFft, RefusesSizesThatAreNotPowersOfTwo) {
  for (std::size_t n : {0u, 1u, 3u, 500u, 768u}) {
    auto p = RealFft::create(n);
    ASSERT_FALSE(p.ok()) << n;
    EXPECT_EQ(p.error().kind, AecErrorKind::kSize);
    EXPECT_EQ(p.error().message, "real FFT size must be a power of two of at least 2, got " + std::to_string(n));
  }
  auto c = ComplexFft::create(6);
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().message, "FFT size must be a power of two, got 6");
}

TEST(RealFft, RefusesBuffersOfTheWrongLength) {
  RealFft p = plan(16);
  std::vector<Complex> spectrum;
  std::vector<float> samples(15);
  auto f = p.forward(samples, spectrum);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().kind, AecErrorKind::kLength);
  EXPECT_NE(f.error().message.find("real FFT input must have length n"), std::string::npos);
  spectrum.resize(8);
  auto i = p.inverse(spectrum, samples);
  ASSERT_FALSE(i.ok());
  EXPECT_NE(i.error().message.find("real FFT spectrum must have length n/2 + 1"), std::string::npos);
  auto c = ComplexFft::create(8);
  std::vector<Complex> data(7);
  auto t = c->transform(data, Direction::kForward);
  ASSERT_FALSE(t.ok());
  EXPECT_NE(t.error().message.find("transform buffer must have length n"), std::string::npos);
}

TEST(RealFft, ImpulseGivesAFlatSpectrum) {
  for (std::size_t n : {2u, 4u, 512u, 4096u}) {
    RealFft p = plan(n);
    std::vector<float> x(n, 0.0f);
    x[0] = 1.0f;
    std::vector<Complex> spectrum;
    ASSERT_TRUE(p.forward(x, spectrum).ok());
    ASSERT_EQ(spectrum.size(), n / 2 + 1);
    for (const Complex& bin : spectrum) {
      EXPECT_NEAR(bin.real(), 1.0, 1e-12);
      EXPECT_NEAR(bin.imag(), 0.0, 1e-12);
    }
  }
}

TEST(RealFft, ConstantGoesToDcOnly) {
  RealFft p = plan(512);
  std::vector<float> x(512, 0.375f);
  std::vector<Complex> spectrum;
  ASSERT_TRUE(p.forward(x, spectrum).ok());
  EXPECT_NEAR(spectrum[0].real(), 512 * 0.375, 1e-12);
  for (std::size_t k = 0; k < spectrum.size(); ++k) {
    EXPECT_NEAR(spectrum[k].imag(), 0.0, 1e-12);
    if (k > 0) {
      EXPECT_NEAR(spectrum[k].real(), 0.0, 1e-12) << k;
    }
  }
}

// Every bin against a direct sum, so twiddles, ordering and unpacking are all checked.
TEST(RealFft, MatchesTheDirectTransform) {
  const std::size_t n = 64;
  RealFft p = plan(n);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = u(rng);
  std::vector<Complex> spectrum;
  ASSERT_TRUE(p.forward(x, spectrum).ok());
  for (std::size_t k = 0; k <= n / 2; ++k) {
    Complex direct{};
    for (std::size_t j = 0; j < n; ++j) direct += static_cast<double>(x[j]) * std::polar(1.0, -2.0 * M_PI * double(k * j) / n);
    EXPECT_NEAR(spectrum[k].real(), direct.real(), 1e-12) << k;
    EXPECT_NEAR(spectrum[k].imag(), direct.imag(), 1e-12) << k;
  }
}

TEST(RealFft, InverseOfForwardReturnsTheInput) {
  for (std::size_t n : {2u, 8u, 512u, 65536u}) {
    RealFft p = plan(n);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (float& v : x) v = u(rng);
    std::vector<Complex> spectrum;
    std::vector<float> y;
    ASSERT_TRUE(p.forward(x, spectrum).ok());
    ASSERT_TRUE(p.inverse(spectrum, y).ok());
    ASSERT_EQ(y.size(), n);
    for (std::size_t j = 0; j < n; ++j) ASSERT_NEAR(y[j], x[j], 1e-6f) << n << " " << j;
  }
}

TEST(ComplexFft, InverseUndoesForward) {
  auto c = ComplexFft::create(32);
  std::vector<Complex> data(32), original(32);
  for (std::size_t j = 0; j < 32; ++j) original[j] = data[j] = {std::sin(0.3 * j), std::cos(1.7 * j)};
  ASSERT_TRUE(c->transform(data, Direction::kForward).ok());
  EXPECT_NEAR(data[0].real(), [&] { double s = 0; for (auto v : original) s += v.real(); return s; }(), 1e-12);
  ASSERT_TRUE(c->transform(data, Direction::kInverse).ok());
  for (std::size_t j = 0; j < 32; ++j) EXPECT_NEAR(std::abs(data[j] - original[j]), 0.0, 1e-14);
}

}  // namespace
}  // namespace murello::aec
