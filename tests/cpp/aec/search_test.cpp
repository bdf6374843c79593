// The delay tracker's parts: history reads, the coarse envelope search and the
// fine phase-transform search, on signals with a known lag.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "aec/coarse.hpp"
#include "aec/fft.hpp"
#include "aec/fine.hpp"
#include "aec/ring.hpp"

namespace murello::aec {
namespace {

std::vector<float> white(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 0.3f);
  std::vector<float> x(n);
  for (float& v : x) v = g(rng);
  return x;
}

TEST(HistoryRing, CountsUnwrittenAndOverwrittenPositionsAsMissing) {
  HistoryRing ring(4);
  const std::vector<float> values = {1, 2, 3, 4, 5, 6};
  ring.push(values);  // holds positions 2 ... 5
  std::vector<float> out(8);
  EXPECT_EQ(ring.read(-1, out), 4u);  // -1, 0, 1 gone or never there; 6 not yet written
  EXPECT_EQ(out, (std::vector<float>{0, 0, 0, 3, 4, 5, 6, 0}));
  std::vector<float> inside(4);
  EXPECT_EQ(ring.read(2, inside), 0u);
  EXPECT_EQ(inside, (std::vector<float>{3, 4, 5, 6}));
}

// Envelope-like values: positive, with slow and fast structure.
std::vector<float> envelope(std::size_t n, unsigned seed) {
  auto x = white(n, seed);
  std::vector<float> e(n);
  float s = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    s = 0.9f * s + 0.1f * std::fabs(x[i]);
    e[i] = s + 0.2f * std::fabs(x[i]);
  }
  return e;
}

CoarseSearch coarse(std::size_t lags, std::size_t window) { return std::move(CoarseSearch::create(lags, window)).value(); }

TEST(CoarseSearch, FindsTheLagAfterEnoughEvaluations) {
  const std::size_t lags = 300, window = 256, lag = 123;
  CoarseSearch search = coarse(lags, window);
  const auto far = envelope(4000, 1);
  for (std::size_t e = 0; e < 4; ++e) {
    EXPECT_FALSE(search.decide().has_value());
    const std::size_t end = 1000 + 500 * e;  // the near window ends here
    std::vector<float> near(far.begin() + static_cast<std::ptrdiff_t>(end - window - lag),
                            far.begin() + static_cast<std::ptrdiff_t>(end - lag));
    search.evaluate(near, std::span(far).subspan(end - window - lags, lags + window));
  }
  EXPECT_NEAR(search.figure_of_merit(), 1.0f, 1e-4f);
  EXPECT_EQ(search.decide(), std::optional<std::size_t>(lag));
  search.reset();
  EXPECT_FALSE(search.decide().has_value());
}

TEST(CoarseSearch, NoDecisionOnUnrelatedOrAmbiguousInput) {
  const std::size_t lags = 300, window = 64;
  CoarseSearch unrelated = coarse(lags, window);
  CoarseSearch ambiguous = coarse(lags, window);
  for (unsigned e = 0; e < 8; ++e) {
    const auto near = white(window, 10 + e);
    unrelated.evaluate(near, white(lags + window, 20 + e));
    // The near window appears twice in the far window, at lags 50 and 200.
    auto far = white(lags + window, 30 + e);
    for (std::size_t j = 0; j < window; ++j) far[lags - 50 + j] = far[lags - 200 + j] = near[j];
    ambiguous.evaluate(near, far);
  }
  EXPECT_FALSE(unrelated.decide().has_value()) << *unrelated.decide();
  EXPECT_FALSE(ambiguous.decide().has_value()) << *ambiguous.decide();
}

// A reverberant room smears the echo's envelope: the correlation peak is tens of
// lags wide with a second hump. That is one peak, not two rivals.
TEST(CoarseSearch, ASmearedPeakWithTwoHumpsIsOnePeak) {
  const std::size_t lags = 600, window = 256, lag = 300;
  CoarseSearch search = coarse(lags, window);
  const auto source = envelope(6000, 4);
  // The echo's envelope: the direct path, then a stronger late hump 18 values on.
  std::vector<float> smeared(source.size(), 0.0f);
  for (std::size_t i = 30; i < source.size(); ++i) smeared[i] = 0.85f * source[i] + source[i - 18];
  for (std::size_t e = 0; e < 8; ++e) {
    const std::size_t end = 1500 + 500 * e;
    std::vector<float> near(smeared.begin() + static_cast<std::ptrdiff_t>(end - window - lag),
                            smeared.begin() + static_cast<std::ptrdiff_t>(end - lag));
    search.evaluate(near, std::span(source).subspan(end - window - lags, lags + window));
  }
  const auto found = search.decide();
  ASSERT_TRUE(found.has_value());
  EXPECT_GE(*found, lag);
  EXPECT_LE(*found, lag + 18);
}

TEST(CoarseSearch, FlatNearWindowIsNotEvaluated) {
  CoarseSearch search = coarse(100, 64);
  search.evaluate(std::vector<float>(64, 0.25f), envelope(164, 2));
  EXPECT_EQ(search.evaluations(), 0u);
}

TEST(FineSearch, FindsTheSampleLagInOneStep) {
  const std::size_t lags = 1000;
  for (std::size_t lag : {0u, 1u, 777u, 999u}) {
    FineSearch search = std::move(FineSearch::create(lags)).value();
    const auto far = white(2 * lags, 3);
    auto near = white(lags, 4);  // uncorrelated near-end noise 10 dB below the echo
    for (std::size_t j = 0; j < lags; ++j) near[j] = 0.3f * near[j] + far[j + lags - lag];
    ASSERT_TRUE(search.accumulate(near, far));
    EXPECT_EQ(search.decide(), std::optional<std::size_t>(lag));
  }
}

// A far end that leaves most of the band empty (speech at 48 kHz, a telephone
// far end) must not let the empty bins vote: their leakage lines up at lag 0.
TEST(FineSearch, FindsTheLagOfABandLimitedFarEnd) {
  const std::size_t lags = 4096, lag = 1500;
  auto source = white(4 * lags, 9);
  // Brick-wall low-pass to an eighth of the band.
  auto plan = std::move(RealFft::create(source.size())).value();
  std::vector<Complex> spectrum;
  ASSERT_TRUE(plan.forward(source, spectrum));
  for (std::size_t k = spectrum.size() / 8; k < spectrum.size(); ++k) spectrum[k] = {};
  ASSERT_TRUE(plan.inverse(spectrum, source));
  FineSearch search = std::move(FineSearch::create(lags)).value();
  for (std::size_t step = 0; step < 2; ++step) {
    const std::size_t end = 2 * lags + step * lags;  // the far window ends here
    const std::span<const float> far = std::span(source).subspan(end - 2 * lags, 2 * lags);
    std::vector<float> near(source.begin() + static_cast<std::ptrdiff_t>(end - lags - lag),
                            source.begin() + static_cast<std::ptrdiff_t>(end - lag));
    ASSERT_TRUE(search.accumulate(near, far));
  }
  EXPECT_EQ(search.decide(), std::optional<std::size_t>(lag));
}

TEST(FineSearch, SkipsSilenceAndRejectsUnrelatedSignals) {
  FineSearch search = std::move(FineSearch::create(500)).value();
  EXPECT_FALSE(search.accumulate(std::vector<float>(500, 0.0f), white(1000, 5)));
  EXPECT_FALSE(search.accumulate(white(500, 6), std::vector<float>(1000, 1e-6f)));
  EXPECT_FALSE(search.decide().has_value());
  ASSERT_TRUE(search.accumulate(white(500, 7), white(1000, 8)));
  EXPECT_FALSE(search.decide().has_value());
}

TEST(FineSearch, CappedPlanSearchesHalfItsSize) {
  FineSearch search = std::move(FineSearch::create(48000)).value();
  EXPECT_EQ(search.lags(), 32768u);
}

}  // namespace
}  // namespace murello::aec
