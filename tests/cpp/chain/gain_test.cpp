#include "chain/gain.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "chain/stage_blocks.hpp"

namespace murello {
namespace {

using test::sine;

constexpr uint32_t kRate = 16000;
constexpr float kMaxGain = 31.622776f;

// Feeds one sample at a time and records the gain after each frame.
template <class GainStage>
std::vector<float> gains(GainStage& stage, std::span<const float> in) {
  std::vector<float> trace;
  std::vector<float> out;
  for (float x : in) {
    EXPECT_TRUE(stage.process(std::span<const float>(&x, 1), 1, out).ok());
    trace.push_back(stage.gain());
  }
  return trace;
}

TEST(Limiter, FullScaleSampleComesOutAtTheCeiling) {
  LimiterStage stage(-1.0f, 48000);
  std::vector<float> out;
  const float in[] = {1.0f, -1.0f};
  ASSERT_TRUE(stage.process(in, 1, out).ok());
  EXPECT_EQ(out[0], 0.8912509f);
  EXPECT_EQ(out[1], -0.8912509f);
  EXPECT_GT(stage.gain(), 0.99f);  // the smoothed gain has barely moved
}

TEST(Limiter, NanIsSilencedAndLeavesThePeakAlone) {
  LimiterStage with_nan(-1.0f, 48000);
  LimiterStage with_zero(-1.0f, 48000);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float a[] = {2.0f, nan, 0.5f};
  const float b[] = {2.0f, 0.0f, 0.5f};
  std::vector<float> out_a;
  std::vector<float> out_b;
  ASSERT_TRUE(with_nan.process(a, 1, out_a).ok());
  ASSERT_TRUE(with_zero.process(b, 1, out_b).ok());
  EXPECT_EQ(out_a[1], 0.0f);
  EXPECT_EQ(out_a, out_b);
  EXPECT_EQ(with_nan.gain(), with_zero.gain());
}

TEST(Limiter, EveryOutputStaysWithinTheCeilingAndQuietPassesAfterRelease) {
  LimiterStage stage(-3.0f, kRate);
  const float ceiling = stage.ceiling();
  std::vector<float> in = sine(kRate / 4, 300.0, kRate, 4.0);  // far above the ceiling
  const std::vector<float> quiet = sine(kRate, 300.0, kRate, 0.25);
  in.insert(in.end(), quiet.begin(), quiet.end());
  std::vector<float> out;
  ASSERT_TRUE(stage.process(in, 1, out).ok());
  for (float y : out) ASSERT_LE(std::fabs(y), ceiling);
  // The release runs towards 1.0; single-precision steps stall it just short of 1.
  for (size_t i = in.size() - 100; i < in.size(); ++i) EXPECT_NEAR(out[i], in[i], 1e-4f);
}

TEST(Limiter, ChannelsShareTheFrameGain) {
  LimiterStage stage(-1.0f, kRate);
  // Channel 0 overshoots, channel 1 is quiet: both get channel 0's reduction.
  std::vector<float> planar(64, 2.0f);
  planar.resize(128, 0.1f);
  std::vector<float> out;
  ASSERT_TRUE(stage.process(planar, 2, out).ok());
  EXPECT_EQ(out[63], stage.ceiling());
  EXPECT_FLOAT_EQ(out[127], 0.1f * stage.gain());
  EXPECT_LT(out[127], 0.1f);
}

TEST(Agc, FirstFrameIsPassedAtUnityGain) {
  AgcStage stage(-20, kRate);
  std::vector<float> out;
  // Loud enough that the level estimate passes the gate on the very first frame.
  const float in[] = {0.5f, 0.5f};
  ASSERT_TRUE(stage.process(in, 1, out).ok());
  EXPECT_EQ(out[0], 0.5f);
  EXPECT_GT(out[1], 0.5f);  // the gain rose after the first frame
}

TEST(Agc, SettlesAtPlus20DbRisingAtMost6DbPerSecondAfterWarmup) {
  AgcStage stage(-20, kRate);
  const size_t seconds = 8;
  std::vector<float> in = sine(kRate * seconds, 440.0, kRate, 0.01 * std::sqrt(2.0));
  const std::vector<float> trace = gains(stage, in);
  const float rise_step = std::pow(10.0f, (6.0f / kRate) / 20.0f);
  const size_t warmup = kRate / 10;
  float highest = 0.0f;
  for (size_t i = 0; i < trace.size(); ++i) {
    highest = std::max(highest, trace[i]);
    if (i > warmup) {
      ASSERT_LE(trace[i], trace[i - 1] * rise_step * 1.000001f) << i;
    }
  }
  EXPECT_LE(highest, kMaxGain);
  EXPECT_GT(trace[warmup], 10.0f);  // quick rise while the level estimate is still low
  EXPECT_NEAR(trace.back(), 10.0f, 0.1f);
}

TEST(Agc, LaterRiseIsLimitedTo6DbPerSecond) {
  AgcStage stage(-20, kRate);
  std::vector<float> in = sine(kRate * 6, 440.0, kRate, 0.01 * std::sqrt(2.0));
  const std::vector<float> softer = sine(kRate * 2, 440.0, kRate, 0.005 * std::sqrt(2.0));
  in.insert(in.end(), softer.begin(), softer.end());
  const std::vector<float> trace = gains(stage, in);
  const size_t drop = kRate * 6;
  ASSERT_NEAR(trace[drop - 1], 10.0f, 0.1f);
  // 6 dB more are needed; half a second later at most 3 dB of them are there.
  EXPECT_LE(trace[drop + kRate / 2], trace[drop - 1] * std::pow(10.0f, 3.0f / 20.0f) * 1.001f);
  EXPECT_NEAR(trace.back(), 20.0f, 0.4f);
}

TEST(Agc, HoldsTheGainAfterTheLevelStaysBelowTheGate) {
  AgcStage stage(-20, kRate);
  std::vector<float> in = sine(kRate * 4, 440.0, kRate, 0.01 * std::sqrt(2.0));
  const size_t silence = in.size();
  in.resize(silence + kRate * 3, 0.0f);
  const std::vector<float> trace = gains(stage, in);
  size_t last_change = 0;
  for (size_t i = silence; i < trace.size(); ++i) {
    if (trace[i] != trace[i - 1]) last_change = i;
  }
  // The smoothed level falls from -40 to -50 dB in 0.4 s * ln 10 = 0.92 s; the gain then
  // keeps adapting for the 0.2 s hold and stays fixed afterwards.
  const double after_s = double(last_change - silence) / kRate;
  EXPECT_GT(after_s, 1.08);
  EXPECT_LT(after_s, 1.16);
}

TEST(Agc, ChannelsShareTheGainAndTheMeanSquare) {
  AgcStage mono(-20, kRate);
  AgcStage stereo(-20, kRate);
  const size_t frames = kRate * 4;
  const std::vector<float> tone = sine(frames, 440.0, kRate, 0.01 * std::sqrt(2.0));
  // Channel 0 carries the tone at +3 dB, channel 1 silence: the same mean square.
  std::vector<float> planar(frames * 2, 0.0f);
  for (size_t i = 0; i < frames; ++i) planar[i] = tone[i] * std::sqrt(2.0f);
  std::vector<float> out_mono;
  std::vector<float> out_stereo;
  ASSERT_TRUE(mono.process(tone, 1, out_mono).ok());
  ASSERT_TRUE(stereo.process(planar, 2, out_stereo).ok());
  EXPECT_NEAR(stereo.gain(), mono.gain(), 1e-3f);
  for (size_t i = frames; i < out_stereo.size(); ++i) ASSERT_EQ(out_stereo[i], 0.0f);
}

TEST(Agc, OverflowingFrameDoesNotPoisonTheGain) {
  AgcStage stage(-20, kRate);
  std::vector<float> in = sine(kRate, 440.0, kRate, 0.01 * std::sqrt(2.0));
  in[kRate / 2] = 1e30f;  // its square overflows
  std::vector<float> out;
  ASSERT_TRUE(stage.process(in, 1, out).ok());
  EXPECT_TRUE(std::isfinite(stage.gain()));
  EXPECT_GT(stage.gain(), 1.0f);
  EXPECT_TRUE(std::isfinite(out.back()));
  EXPECT_NE(out.back(), 0.0f);
}

TEST(Gain, BlockShorterThanItsChannelCountPassesUntouched) {
  AgcStage agc(-20, kRate);
  LimiterStage limiter(-3.0f, kRate);
  const float in[] = {5.0f, -5.0f};
  for (Stage* stage : {static_cast<Stage*>(&agc), static_cast<Stage*>(&limiter)}) {
    std::vector<float> out;
    ASSERT_TRUE(stage->process(in, 3, out).ok());
    EXPECT_EQ(out, std::vector<float>(std::begin(in), std::end(in)));
  }
}

}  // namespace
}  // namespace murello
