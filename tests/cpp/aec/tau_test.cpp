// Engine edge cases: configuration refusals, exact pass-through, block
// bookkeeping and hostile samples.
#include "aec/tau.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "aec/double_talk.hpp"

namespace murello::aec {
namespace {

Tau engine(const EngineConfig& config) {
  auto e = Tau::create(config);
  EXPECT_TRUE(e.ok()) << (e.ok() ? "" : e.error().message);
  return std::move(e).value();
}

std::vector<float> noise(std::size_t n, float level, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, level);
  std::vector<float> x(n);
  for (float& v : x) v = g(rng);
  return x;
}

struct Refusal {
  EngineConfig config;
  AecErrorKind kind;
  std::string message;
};

EngineConfig with(std::uint32_t rate, std::uint16_t tail, std::uint16_t delay, std::uint16_t ceiling) {
  EngineConfig c;
  c.sample_rate_hz = rate;
  c.tail_ms = tail;
  c.max_delay_ms = delay;
  c.ceiling_ms = ceiling;
  return c;
}

TEST(TauConfig, RefusesInOrderWithTheFirstFault) {
  const std::vector<Refusal> cases = {
      {with(7999, 15, 5, 1), AecErrorKind::kSampleRate, "sample rate must be between 8000 and 48000 Hz"},
      {with(48001, 200, 250, 1000), AecErrorKind::kSampleRate, "sample rate must be between 8000 and 48000 Hz"},
      {with(16000, 15, 5, 1), AecErrorKind::kConfig, "filter tail must be between 16 and 500 milliseconds"},
      {with(16000, 501, 250, 1000), AecErrorKind::kConfig, "filter tail must be between 16 and 500 milliseconds"},
      {with(16000, 16, 9, 1), AecErrorKind::kConfig, "maximum echo delay must be between 10 and 1000 milliseconds"},
      {with(16000, 16, 1001, 2000), AecErrorKind::kConfig,
       "maximum echo delay must be between 10 and 1000 milliseconds"},
      {with(16000, 500, 250, 249), AecErrorKind::kConfig,
       "coarse search ceiling must be between the fine search window (250 ms) and 2000 milliseconds"},
      {with(16000, 500, 250, 2001), AecErrorKind::kConfig,
       "coarse search ceiling must be between the fine search window (250 ms) and 2000 milliseconds"},
  };
  for (const Refusal& r : cases) {
    auto e = Tau::create(r.config);
    ASSERT_FALSE(e.ok()) << r.message;
    EXPECT_EQ(e.error().kind, r.kind);
    EXPECT_EQ(e.error().message, r.message);
  }
}

// Sizes at the limits: the searches' plans, the partition count and the capped
// fine window must all hold together while audio runs.
TEST(TauConfig, RunsAtTheLimits) {
  for (const EngineConfig& c : {with(8000, 16, 10, 10), with(48000, 500, 1000, 2000), with(44100, 200, 250, 1000)}) {
    auto e = Tau::create(c);
    ASSERT_TRUE(e.ok()) << c.sample_rate_hz;
    const auto x = noise(c.sample_rate_hz, 0.1f, 15);
    std::vector<float> out;
    e->push_far(x);
    e->process(x, out);
    e->flush(out);
    EXPECT_EQ(out.size(), x.size());
  }
}

// The filter holds whole blocks covering the tail; a tail ending just past a block
// boundary still needs that last block.
TEST(TauConfig, PartitionsCoverTheWholeTail) {
  struct Case {
    std::uint32_t rate;
    std::uint16_t tail;
    std::size_t partitions;
  };
  for (const Case& c : {Case{16000, 16, 1}, Case{16000, 200, 13}, Case{48000, 500, 94}, Case{11025, 209, 10},
                        Case{22050, 418, 37}, Case{44100, 447, 78}}) {
    EXPECT_EQ(Tau::partitions_for(with(c.rate, c.tail, 250, 1000)), c.partitions) << c.rate << " Hz " << c.tail;
  }
}

// Whatever the rate, the detector's statistics must run on the same clock: with
// nothing coherent it warms up after the same two seconds of far-end activity.
TEST(DoubleTalkDetector, WarmsUpAfterTheSameTimeAtEveryRate) {
  for (std::uint32_t rate : {8000u, 16000u, 24000u, 48000u}) {
    DoubleTalk detector(rate, Tau::kBlock);
    std::size_t blocks = 0;
    for (unsigned seed = 0; !detector.warm() && blocks < 2000; seed += 3, ++blocks) {
      const auto far = noise(Tau::kBlock, 0.1f, seed);
      const auto near = noise(Tau::kBlock, 0.1f, seed + 1);
      const auto echo = noise(Tau::kBlock, 0.1f, seed + 2);
      detector.update(far.data(), near.data(), echo.data());
    }
    const double seconds = static_cast<double>(blocks * Tau::kBlock) / rate;
    EXPECT_NEAR(seconds, 2.048, 0.02) << rate;
  }
}

TEST(Tau, SilentFarEndPassesTheNearEndExactly) {
  for (Suppression s : {Suppression::kConservative, Suppression::kOff}) {
    EngineConfig c;
    c.suppression = s;
    Tau t = engine(c);
    const auto near = noise(16000, 0.1f, 1);
    t.push_far(std::vector<float>(16000, 0.0f));
    std::vector<float> out;
    t.process(near, out);
    t.flush(out);
    ASSERT_EQ(out.size(), near.size());
    for (std::size_t i = 0; i < near.size(); ++i) ASSERT_EQ(out[i], near[i]) << i;
    EXPECT_FALSE(t.metrics().delay.has_value());
    EXPECT_EQ(t.metrics().samples_without_delay, 16000u);
  }
}

TEST(Tau, OutputDoesNotDependOnHowInputIsSplit) {
  const auto far = noise(8000, 0.2f, 2);
  const auto near = noise(8000, 0.2f, 3);
  std::vector<float> reference;
  for (std::size_t chunk : {8000u, 1u, 100u, 256u, 257u}) {
    EngineConfig c;
    c.fixed_delay_ms = 0;
    Tau t = engine(c);
    std::vector<float> out;
    for (std::size_t i = 0; i < near.size(); i += chunk) {
      const std::size_t n = std::min(chunk, near.size() - i);
      t.push_far(std::span(far).subspan(i, n));
      t.process(std::span(near).subspan(i, n), out);
      EXPECT_EQ(out.size(), (i + n) / Tau::kBlock * Tau::kBlock);
    }
    t.flush(out);
    ASSERT_EQ(out.size(), near.size());
    if (reference.empty()) reference = out;
    EXPECT_EQ(out, reference) << chunk;
  }
}

TEST(Tau, FlushReturnsOnlyTheRealSamples) {
  Tau t = engine(EngineConfig{});
  std::vector<float> out;
  t.process(noise(100, 0.1f, 4), out);
  EXPECT_TRUE(out.empty());
  t.flush(out);
  EXPECT_EQ(out.size(), 100u);
  t.flush(out);
  EXPECT_EQ(out.size(), 100u);
}

TEST(Tau, NonFiniteSamplesGiveFiniteOutput) {
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()};
  EngineConfig c;
  c.fixed_delay_ms = 5;
  Tau t = engine(c);
  auto far = noise(16000, 0.3f, 5);
  auto near = noise(16000, 0.3f, 6);
  for (std::size_t i = 0; i < near.size(); i += 97) {
    near[i] = specials[i % 3];
    far[i + 13 < far.size() ? i + 13 : i] = specials[(i + 1) % 3];
  }
  t.push_far(far);
  std::vector<float> out;
  t.process(near, out);
  t.flush(out);
  ASSERT_EQ(out.size(), near.size());
  for (float v : out) ASSERT_TRUE(std::isfinite(v));
  EXPECT_TRUE(std::isfinite(t.metrics().erle_db));
}

// Samples near the float limit can overflow the echo estimate or the error; the
// output must stay finite whatever the filter does with them.
TEST(Tau, SamplesNearTheFloatLimitGiveFiniteOutput) {
  EngineConfig c;
  c.fixed_delay_ms = 0;
  Tau t = engine(c);
  auto far = noise(8192, 1e38f, 7);
  auto near = noise(8192, 1e38f, 8);
  for (std::size_t i = 0; i < near.size(); ++i) near[i] = std::clamp(near[i] - far[i], -3.4e38f, 3.4e38f);
  t.push_far(far);
  std::vector<float> out;
  t.process(near, out);
  for (float v : out) ASSERT_TRUE(std::isfinite(v));
}

TEST(Tau, FixedDelayIsCappedAndNeverSearched) {
  EngineConfig c;
  c.max_delay_ms = 100;
  c.ceiling_ms = 100;
  c.fixed_delay_ms = 300;
  Tau t = engine(c);
  EXPECT_EQ(t.metrics().delay, std::optional<std::uint64_t>(1600));
  EXPECT_EQ(t.tracker_status(), TrackerStatus::kLocked);
  // No far end at all: every aligned sample is missing history.
  std::vector<float> out;
  t.process(noise(1000, 0.1f, 8), out);
  EXPECT_EQ(t.metrics().far_missing, 1000u);
  EXPECT_EQ(t.metrics().samples_without_delay, 0u);
}

TEST(Tau, FarEndAHistoryAheadRestartsTheSearchOnce) {
  Tau t = engine(EngineConfig{});
  std::vector<float> out;
  t.process(noise(512, 0.1f, 9), out);
  EXPECT_EQ(t.metrics().search_restarts, 0u);
  t.push_far(noise(16000 * 5, 0.1f, 10));  // history is 4.45 s at these settings
  t.process(noise(512, 0.1f, 11), out);
  t.process(noise(512, 0.1f, 12), out);
  EXPECT_EQ(t.metrics().search_restarts, 1u);
}

// Mode 1 slides to the raw input while no delay is trusted; the slide takes the
// fall length, and the mix stays within float rounding of the input.
// Mode 1 slides to the raw input while no delay is trusted. With nothing to
// cancel the mix is of two equal values and must give that value exactly.
TEST(Tau, TransitionFallsToTheInputWithoutADelay) {
  EngineConfig c;
  c.transition = {1, 100, 200};
  Tau t = engine(c);
  const auto near = noise(16000, 0.1f, 13);
  std::vector<float> out;
  t.process(near, out);
  t.flush(out);
  ASSERT_EQ(out.size(), near.size());
  for (std::size_t i = 0; i < near.size(); ++i) ASSERT_EQ(out[i], near[i]) << i;
}

TEST(Tau, ResetKeepsDelayAndCounters) {
  EngineConfig c;
  c.fixed_delay_ms = 10;
  Tau t = engine(c);
  auto x = noise(4096, 1e37f, 14);
  t.push_far(x);
  std::vector<float> out;
  t.process(x, out);
  const auto resets = t.filter_resets();
  t.reset();
  EXPECT_EQ(t.filter_resets(), resets);
  EXPECT_EQ(t.metrics().delay, std::optional<std::uint64_t>(160));
  EXPECT_EQ(t.metrics().erle_db, 0.0f);
}

}  // namespace
}  // namespace murello::aec
