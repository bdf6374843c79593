#include "resampler/polyphase.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "reference.hpp"
#include "signals.hpp"

namespace murello {
namespace {

using testing::convert;
using testing::make;
using testing::noise;

using Pair = std::pair<uint32_t, uint32_t>;

// Outputs due after `inputs` samples: output j is computed on input floor(j × in / out).
uint64_t outputs_due(const Resampler& r, uint64_t inputs) {
  const uint64_t g = std::gcd(r.input_hz(), r.output_hz());
  const uint64_t up = r.output_hz() / g, down = r.input_hz() / g;
  return (inputs * up + down - 1) / down;
}

TEST(Resampler, IdentityPassesSamplesThroughBitForBit) {
  Resampler r = make(48000, 48000);
  EXPECT_EQ(r.form(), Resampler::Form::Identity);
  std::vector<float> in = noise(1000, 1);
  in[3] = -0.0f;
  in[4] = 1e-42f;  // subnormal
  std::vector<float> out = {7.0f};
  ASSERT_TRUE(r.process(in, out).ok());
  r.flush(out);
  ASSERT_EQ(out.size(), in.size() + 1);
  EXPECT_EQ(out[0], 7.0f);
  EXPECT_EQ(std::memcmp(out.data() + 1, in.data(), in.size() * sizeof(float)), 0);
  EXPECT_FALSE(r.process({}, out).ok());
}

TEST(Resampler, DecimationByThreeOutputsOnInputsZeroThreeSix) {
  Resampler r = make(48000, 16000);
  std::vector<float> out;
  const float one = 1.0f;
  const size_t expected[] = {1, 1, 1, 2, 2, 2, 3};
  for (size_t count : expected) {
    ASSERT_TRUE(r.process({&one, 1}, out).ok());
    EXPECT_EQ(out.size(), count);
  }
}

TEST(Resampler, InterpolationByThreeGivesThreeOutputsPerInput) {
  Resampler r = make(16000, 48000);
  std::vector<float> out;
  const float one = 1.0f;
  for (size_t i = 1; i <= 5; ++i) {
    ASSERT_TRUE(r.process({&one, 1}, out).ok());
    EXPECT_EQ(out.size(), 3 * i);
  }
}

class ResamplerPair : public ::testing::TestWithParam<Pair> {};

// Short calls take the direct form; long ones also take whole transform passes.
TEST_P(ResamplerPair, OutputCountFollowsTheRateRatioAndFlushAddsTheTail) {
  const auto [in_hz, out_hz] = GetParam();
  for (size_t frames : {4801u, 60001u}) {
    Resampler r = make(in_hz, out_hz);
    std::vector<float> out;
    const std::vector<float> in = noise(frames, 2);
    ASSERT_TRUE(r.process(in, out).ok());
    EXPECT_EQ(out.size(), outputs_due(r, in.size())) << frames;
    r.flush(out);
    EXPECT_EQ(out.size(), outputs_due(r, in.size() + r.taps() - 1)) << frames;
  }
}

TEST_P(ResamplerPair, ConstantInputSettlesToUnitGain) {
  const auto [in_hz, out_hz] = GetParam();
  Resampler r = make(in_hz, out_hz);
  std::vector<float> out;
  const std::vector<float> ones(r.taps() * (in_hz / std::gcd(in_hz, out_hz) > 1024 ? 1 : 2) +
                                    in_hz / 10,
                                1.0f);
  ASSERT_TRUE(r.process(ones, out).ok());
  // Past twice the group delay the filter sees only ones.
  ASSERT_GT(out.size(), 2 * r.group_delay_frames() + 100);
  for (size_t j = 2 * r.group_delay_frames() + 1; j < out.size(); ++j) {
    ASSERT_NEAR(out[j], 1.0f, 1e-5) << j;
  }
}

// Splitting the input into blocks of any size, empty ones included, keeps every output
// within the bound of one call; where no transform pass is taken, bit for bit.
TEST_P(ResamplerPair, BlockSizesDoNotChangeTheOutput) {
  const auto [in_hz, out_hz] = GetParam();
  const std::vector<float> in = noise(60000, 3);
  const std::vector<float> whole = convert(in_hz, out_hz, in);
  const bool bit_exact = !OverlapSave::suits(design_filter(in_hz, out_hz).value());
  for (size_t largest : {3u, 700u, 40000u}) {
    Resampler r = make(in_hz, out_hz);
    std::vector<float> out;
    std::mt19937 rng{uint32_t(largest)};
    std::uniform_int_distribution<size_t> size(0, largest);
    for (size_t at = 0; at < in.size();) {
      const size_t n = std::min(size(rng), in.size() - at);
      ASSERT_TRUE(r.process(std::span(in).subspan(at, n), out).ok());
      at += n;
    }
    r.flush(out);
    if (bit_exact) {
      ASSERT_EQ(out, whole) << "blocks up to " << largest;
      continue;
    }
    ASSERT_EQ(out.size(), whole.size());
    for (size_t j = 0; j < out.size(); ++j) {
      ASSERT_TRUE(testing::within_bound(out[j], whole[j]))
          << "blocks up to " << largest << ": " << out[j] << " vs " << whole[j] << " at " << j;
    }
  }
}

// Every output stays within 1 float ulp (or 1e-9) of the ascending-order double sum, also
// where quiet samples share a transform pass with samples near the largest it takes; a
// window of zeros gives exactly 0; a sample too large for a pass, or not finite, sends
// its passes the direct way and leaves the other outputs alone. So in one call, in a
// file read's 1600 samples per call (partial passes) and in calls of an odd size.
TEST_P(ResamplerPair, EveryPathStaysWithinOneUlpOfTheScalarReference) {
  const auto [in_hz, out_hz] = GetParam();
  std::vector<float> in = noise(48000, 4);
  std::fill(in.begin() + 9000, in.begin() + 13000, 0.0f);
  for (size_t i = 20000; i < 30000; i += 2) in[i] *= 63.0f;
  for (size_t i = 36000; i < 36500; ++i) in[i] *= 300.0f;
  in[40000] = std::numeric_limits<float>::infinity();
  std::vector<float> slow;
  {
    Resampler r = make(in_hz, out_hz);
    testing::ReferenceResampler reference(r);
    for (float x : in) reference.push(x, slow);
    for (uint64_t k = 1; k < r.taps(); ++k) reference.push(0.0, slow);
  }
  for (size_t call : {in.size(), size_t{1600}, size_t{733}}) {
    Resampler r = make(in_hz, out_hz);
    std::vector<float> fast;
    for (size_t at = 0; at < in.size(); at += call) {
      const size_t n = std::min(call, in.size() - at);
      ASSERT_TRUE(r.process(std::span(in).subspan(at, n), fast).ok());
    }
    r.flush(fast);
    ASSERT_EQ(fast.size(), slow.size());
    size_t silent = 0;
    for (size_t j = 0; j < fast.size(); ++j) {
      if (!std::isfinite(slow[j])) {
        ASSERT_FALSE(std::isfinite(fast[j])) << j;
        continue;
      }
      ASSERT_TRUE(testing::within_bound(fast[j], slow[j]))
          << "calls of " << call << ": " << fast[j] << " vs " << slow[j] << " at " << j;
      if (slow[j] == 0.0f) {
        ASSERT_EQ(fast[j], 0.0f) << "calls of " << call << " at " << j;
        ++silent;
      }
    }
    EXPECT_GT(silent, 100u);
  }
}

INSTANTIATE_TEST_SUITE_P(AllForms, ResamplerPair,
                         ::testing::Values(Pair{48000, 16000}, Pair{16000, 48000},
                                           Pair{44100, 16000}, Pair{48000, 44100},
                                           Pair{48000, 44101}, Pair{44101, 48000},
                                           Pair{8000, 16000}, Pair{48000, 32000},
                                           Pair{44100, 22050}, Pair{48000, 20000}),
                         [](const auto& info) {
                           return std::to_string(info.param.first) + "_to_" +
                                  std::to_string(info.param.second);
                         });

// An impulse comes out as the filter's centre at the group delay; for an integer
// interpolation the whole response is the symmetric prototype itself (within the bound a
// transform pass keeps), and exactly 0 past it.
TEST(Resampler, ImpulsePeaksAtTheGroupDelay) {
  for (auto [in_hz, out_hz, delay] : {std::tuple{48000u, 16000u, 106u},
                                      {16000u, 48000u, 318u}, {44100u, 16000u, 106u}}) {
    std::vector<float> in(4000, 0.0f);
    in[0] = 1.0f;
    const std::vector<float> out = convert(in_hz, out_hz, in);
    const auto peak = std::max_element(out.begin(), out.end(),
                                       [](float a, float b) { return std::abs(a) < std::abs(b); });
    EXPECT_EQ(peak - out.begin(), delay) << in_hz << " -> " << out_hz;
  }
  std::vector<float> in(300, 0.0f);
  in[0] = 1.0f;
  const std::vector<float> up = convert(16000, 48000, in);
  for (size_t j = 0; j < 637; ++j) ASSERT_TRUE(testing::within_bound(up[j], up[636 - j])) << j;
  for (size_t j = 637; j < up.size(); ++j) ASSERT_EQ(up[j], 0.0f) << j;
}

TEST(Resampler, InterpolatedImpulsePeaksWithinAFrameOfTheGroupDelay) {
  for (auto [in_hz, out_hz] : {Pair{48000, 44101}, Pair{44101, 48000}}) {
    Resampler r = make(in_hz, out_hz);
    std::vector<float> in(2000, 0.0f), out;
    in[0] = 1.0f;
    ASSERT_TRUE(r.process(in, out).ok());
    const auto peak = std::max_element(out.begin(), out.end()) - out.begin();
    EXPECT_NEAR(double(peak), double(r.group_delay_frames()), 1.0) << in_hz << " -> " << out_hz;
  }
}

// A fresh copy shares the table and nothing of the state: after its original has run,
// it converts as a new resampler does, and the original goes on as before.
TEST(Resampler, AFreshCopyStartsFromTheBeginning) {
  const std::vector<float> in = noise(20000, 9);
  for (auto [in_hz, out_hz] : {Pair{44100, 16000}, Pair{48000, 16000}, Pair{48000, 44101}}) {
    Resampler original = make(in_hz, out_hz);
    std::vector<float> first;
    ASSERT_TRUE(original.process(std::span(in).first(7000), first).ok());
    Resampler copy = original.fresh();
    EXPECT_EQ(copy.state(), Resampler::State::Fresh);
    std::vector<float> copied;
    ASSERT_TRUE(copy.process(in, copied).ok());
    copy.flush(copied);
    EXPECT_EQ(copied, convert(in_hz, out_hz, in)) << in_hz << " -> " << out_hz;
    ASSERT_TRUE(original.process(std::span(in).subspan(7000), first).ok());
    original.flush(first);
    EXPECT_EQ(first.size(), copied.size());
  }
}

TEST(Resampler, FlushOfAnUnfedResamplerAppendsNothing) {
  for (bool empty_block : {false, true}) {
    Resampler r = make(48000, 16000);
    std::vector<float> out;
    if (empty_block) {
      ASSERT_TRUE(r.process({}, out).ok());
    }
    EXPECT_EQ(r.state(), Resampler::State::Fresh);
    r.flush(out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(r.state(), Resampler::State::Flushed);
  }
}

TEST(Resampler, OnlyTheFirstFlushAppendsAndProcessAfterwardsFails) {
  Resampler r = make(16000, 48000);
  std::vector<float> out;
  const std::vector<float> in = noise(10, 5);
  ASSERT_TRUE(r.process(in, out).ok());
  EXPECT_EQ(r.state(), Resampler::State::Active);
  r.flush(out);
  const size_t flushed = out.size();
  EXPECT_EQ(flushed, 3 * (10 + r.taps() - 1));
  r.flush(out);
  EXPECT_EQ(out.size(), flushed);
  for (std::span<const float> again : {std::span<const float>(in), std::span<const float>()}) {
    auto result = r.process(again, out);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, ResamplerError::Kind::ProcessAfterFlush);
    EXPECT_EQ(result.error().message(), "process after flush requires a reset");
  }
  EXPECT_EQ(out.size(), flushed);
}

TEST(Resampler, CreateReportsDesignErrors) {
  auto zero = Resampler::create(0, 0);
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().kind, ResamplerError::Kind::ZeroSampleRate);
  auto large = Resampler::create(384000, 1001);
  ASSERT_FALSE(large.ok());
  EXPECT_EQ(large.error().kind, ResamplerError::Kind::FilterTooLarge);
}

}  // namespace
}  // namespace murello
