#include "chain/filter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>

#include "chain/stage_blocks.hpp"

namespace murello {
namespace {

using test::run_planar;
using test::sine;

double rms(std::span<const float> x) {
  double sum = 0.0;
  for (float v : x) sum += double(v) * v;
  return std::sqrt(sum / x.size());
}

TEST(DcRemoval, ConstantInputDecaysFromOne) {
  DcRemovalStage stage(1);
  const std::vector<float> out = run_planar(stage, std::vector<float>(2000, 1.0f), 1);
  EXPECT_EQ(out[0], 1.0f);
  EXPECT_EQ(out[1], 0.995f);
  EXPECT_FLOAT_EQ(out[2], 0.990025f);
  EXPECT_LT(std::fabs(out.back()), 1e-4f);
}

TEST(DcRemoval, NyquistGainIsTwoOver1995) {
  DcRemovalStage stage(1);
  std::vector<float> in(4000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = i % 2 ? -1.0f : 1.0f;
  const std::vector<float> out = run_planar(stage, in, 1);
  // Single-precision rounding leaves a drift of about 1e-5.
  EXPECT_NEAR(out[3998], 2.0 / 1.995, 1e-4);
  EXPECT_NEAR(out[3999], -2.0 / 1.995, 1e-4);
}

TEST(DcRemoval, RemovesOffsetButKeepsSpeechBand) {
  DcRemovalStage stage(1);
  std::vector<float> in = sine(16000, 440.0, 16000.0, 0.5);
  for (float& x : in) x += 0.3f;
  const std::vector<float> out = run_planar(stage, in, 1);
  std::span<const float> settled(out.data() + 8000, 8000);
  double mean = 0.0;
  for (float v : settled) mean += v;
  EXPECT_NEAR(mean / settled.size(), 0.0, 1e-3);
  EXPECT_NEAR(rms(settled), 0.5 / std::sqrt(2.0), 0.01);
}

TEST(Highpass, ConstantInputDecaysToZero) {
  HighpassStage stage(HighpassCutoff::Hz100, 16000, 1);
  const std::vector<float> out = run_planar(stage, std::vector<float>(16000, 1.0f), 1);
  EXPECT_GT(out[0], 0.9f);
  // The single-precision coefficients do not cancel exactly at DC: about -99 dB remains.
  EXPECT_LT(std::fabs(out.back()), 3e-5f);
  EXPECT_LT(std::fabs(out[800]), 3e-5f);  // gone within 50 ms
}

struct Response {
  HighpassCutoff cutoff;
  uint32_t rate_hz;
  double hz;
  double gain_db;
  double tolerance_db;
};

class HighpassResponse : public testing::TestWithParam<Response> {};

TEST_P(HighpassResponse, MatchesButterworth) {
  const Response r = GetParam();
  HighpassStage stage(r.cutoff, r.rate_hz, 1);
  const size_t frames = r.rate_hz * 2;
  const std::vector<float> in = sine(frames, r.hz, r.rate_hz, 0.5);
  const std::vector<float> out = run_planar(stage, in, 1);
  // Whole periods of the settled second half.
  const size_t period = static_cast<size_t>(std::lround(r.rate_hz / r.hz));
  const size_t length = (frames / 2) / period * period;
  std::span<const float> settled_in(in.data() + frames - length, length);
  std::span<const float> settled_out(out.data() + frames - length, length);
  EXPECT_NEAR(20.0 * std::log10(rms(settled_out) / rms(settled_in)), r.gain_db, r.tolerance_db);
}

INSTANTIATE_TEST_SUITE_P(
    Filter, HighpassResponse,
    testing::Values(Response{HighpassCutoff::Hz100, 16000, 1000.0, 0.0, 0.01},
                    Response{HighpassCutoff::Hz100, 48000, 1000.0, 0.0, 0.01},
                    Response{HighpassCutoff::Hz100, 16000, 100.0, -3.0103, 0.02},
                    Response{HighpassCutoff::Hz80, 16000, 80.0, -3.0103, 0.02},
                    // Second order: 12 dB per octave well below the cut-off.
                    Response{HighpassCutoff::Hz100, 16000, 25.0, -24.1, 0.1}));

TEST(Filter, ChannelsShareCoefficientsButNotState) {
  const std::vector<float> loud = sine(4000, 50.0, 16000.0, 0.9);
  std::vector<float> planar = loud;
  planar.resize(loud.size() * 2, 0.0f);  // channel 1 silent
  std::vector<float> both = loud;
  both.insert(both.end(), loud.begin(), loud.end());
  for (int which = 0; which < 2; ++which) {
    auto make = [&]() -> std::unique_ptr<Stage> {
      if (which == 0) return std::make_unique<DcRemovalStage>(2);
      return std::make_unique<HighpassStage>(HighpassCutoff::Hz80, 16000, 2);
    };
    auto stage = make();
    const std::vector<float> out = run_planar(*stage, planar, 2);
    for (size_t i = loud.size(); i < out.size(); ++i) ASSERT_EQ(out[i], 0.0f) << which;
    // The same signal on both channels gives the same output on both.
    auto twin = make();
    const std::vector<float> same = run_planar(*twin, both, 2);
    EXPECT_TRUE(std::equal(same.begin(), same.begin() + loud.size(), same.begin() + loud.size()));
    EXPECT_TRUE(std::equal(same.begin(), same.begin() + loud.size(), out.begin()));
  }
}

// Samples near the float maximum overflow a filter's state; the filter starts again from
// rest, so from the sample after the overflow on it runs as a fresh filter would.
TEST(FilterOverflow, AFilterStartsAgainFromRestAfterItOverflows) {
  constexpr float kMax = std::numeric_limits<float>::max();
  struct Case {
    const char* name;
    std::function<std::unique_ptr<Stage>()> make;
    std::vector<float> bad;
    size_t recovered_after;  // samples of `bad` up to and including the last overflow
  };
  const auto dc = [] { return std::make_unique<DcRemovalStage>(1); };
  const auto highpass = [] {
    return std::make_unique<HighpassStage>(HighpassCutoff::Hz80, 48000, 1);
  };
  const Case cases[] = {
      {"dc removal, 3e38 then -3e38", dc, {3e38f, -3e38f}, 2},
      {"dc removal, the maximum then its negative", dc, {kMax, -kMax}, 2},
      {"high-pass, one 3e38", highpass, {3e38f}, 1},
      {"high-pass, 1.75e38", highpass, {1.75e38f}, 1},
      {"high-pass, 3e38 then -3e38", highpass, {3e38f, -3e38f}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> in = sine(4000, 440.0, 48000.0, 0.5);
    const size_t at = 1000;
    std::copy(c.bad.begin(), c.bad.end(), in.begin() + at);
    auto stage = c.make();
    const std::vector<float> out = run_planar(*stage, in, 1);
    for (float y : out) ASSERT_TRUE(std::isfinite(y));
    const size_t resumed = at + c.recovered_after;
    auto fresh = c.make();
    const std::vector<float> rest =
        run_planar(*fresh, std::span<const float>(in).subspan(resumed), 1);
    EXPECT_EQ(std::vector<float>(out.begin() + resumed, out.end()), rest);
  }
}

}  // namespace
}  // namespace murello
