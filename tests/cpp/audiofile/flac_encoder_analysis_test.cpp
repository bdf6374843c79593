// The FLAC encoder's analysis: windows, Levinson-Durbin, quantisation, the Rice search
// against brute force, and planned costs against the bits actually written.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <random>

#include "audiofile/flac_encoder/bit_writer.hpp"
#include "audiofile/flac_encoder/frame.hpp"
#include "audiofile/flac_encoder/level.hpp"
#include "audiofile/flac_encoder/lpc.hpp"
#include "audiofile/flac_encoder/rice.hpp"
#include "audiofile/flac_encoder/subframe.hpp"

namespace murello {
namespace {

TEST(FlacLpc, TukeyWindowTapersWithTheRaisedCosine) {
  std::vector<double> hann(9), half(9);
  tukey_window(1.0, hann);
  tukey_window(0.5, half);
  for (size_t n = 0; n < 9; ++n) {
    double d = double(std::min<size_t>(n, 8 - n));
    EXPECT_NEAR(hann[n], 0.5 * (1 - std::cos(std::numbers::pi * d / 4.0)), 1e-12) << n;
    double expected = d < 2.0 ? 0.5 * (1 - std::cos(std::numbers::pi * d / 2.0)) : 1.0;
    EXPECT_NEAR(half[n], expected, 1e-12) << n;
  }
  EXPECT_EQ(hann[0], 0.0);
  EXPECT_DOUBLE_EQ(hann[4], 1.0);
}

TEST(FlacLpc, AutocorrelationIsTheLaggedSumForEveryLengthAndLagCount) {
  // Lengths around the sixteen partial sums and the four lags taken together, lags up to
  // the largest order plus one, and lags past the end of short blocks (0).
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> any(-1.0, 1.0);
  for (size_t len : {1, 2, 5, 15, 16, 17, 19, 33, 100, 4096}) {
    std::vector<double> x(len);
    for (double& v : x) v = any(rng);
    for (size_t count = 1; count <= kMaxLpcOrder + 1; ++count) {
      std::vector<double> lags(count, -1.0);
      autocorrelation(x, lags);
      for (size_t l = 0; l < count; ++l) {
        double expected = 0.0;
        for (size_t n = l; n < len; ++n) expected += x[n] * x[n - l];
        EXPECT_NEAR(lags[l], expected, 1e-12 * double(len)) << "len " << len << " lag " << l;
      }
    }
  }
}

TEST(FlacLpc, LevinsonDurbinRecoversAFirstOrderProcess) {
  // Autocorrelation rho^l of an AR(1) process: order 1 predicts with rho, order 2 adds 0.
  const double rho = 0.9;
  std::vector<double> lags = {1.0, rho, rho * rho, rho * rho * rho};
  LpcLadder ladder;
  levinson_durbin(lags, 3, ladder);
  ASSERT_EQ(ladder.max_order, 3u);
  EXPECT_NEAR(ladder.coefficients[0][0], rho, 1e-12);
  EXPECT_NEAR(ladder.coefficients[1][0], rho, 1e-12);
  EXPECT_NEAR(ladder.coefficients[1][1], 0.0, 1e-12);
  EXPECT_NEAR(ladder.error[0], 1 - rho * rho, 1e-12);
  EXPECT_NEAR(ladder.error[2], 1 - rho * rho, 1e-12);
}

TEST(FlacLpc, LevinsonDurbinStopsWhenThePredictionIsPerfect) {
  std::vector<double> lags = {1.0, 1.0, 1.0, 1.0};  // a constant signal
  LpcLadder ladder;
  levinson_durbin(lags, 3, ladder);
  EXPECT_EQ(ladder.max_order, 1u);
  EXPECT_EQ(ladder.error[0], 0.0);
}

TEST(FlacLpc, QuantisationCarriesTheRoundingErrorForward) {
  QuantizedLpc q;
  ASSERT_TRUE(quantize_lpc(std::vector<double>{1.9, -0.95}, q));
  EXPECT_EQ(q.shift, 13u);  // 13 - floor(log2(1.9))
  EXPECT_EQ(q.coefficients[0], 15565);  // 15564.8, carrying -0.2
  EXPECT_EQ(q.coefficients[1], -7783);  // -7782.4 - 0.2 = -7782.6
  ASSERT_TRUE(quantize_lpc(std::vector<double>{20000.0, 1.0}, q));
  EXPECT_EQ(q.shift, 0u);
  EXPECT_EQ(q.coefficients[0], 16383);  // clamped; the excess is carried
  EXPECT_EQ(q.coefficients[1], 3618);
  EXPECT_FALSE(quantize_lpc(std::vector<double>{0.0, 0.0}, q));
  EXPECT_FALSE(quantize_lpc(std::vector<double>{1e-9}, q));  // rounds to 0 at shift 15
}

// The folded LPC residual in plain 64-bit arithmetic; empty when one reaches 2^31.
template <class Sample>
std::optional<std::vector<uint32_t>> plain_lpc_residual(const std::vector<Sample>& x,
                                                        const QuantizedLpc& lpc) {
  std::vector<uint32_t> folded;
  for (size_t n = lpc.order; n < x.size(); ++n) {
    int64_t sum = 0;
    for (unsigned j = 0; j < lpc.order; ++j) sum += int64_t(lpc.coefficients[j]) * x[n - 1 - j];
    int64_t r = int64_t(x[n]) - (sum >> lpc.shift);
    if (r >= (int64_t(1) << 31) || r < -(int64_t(1) << 31)) return std::nullopt;
    folded.push_back(uint32_t(r >= 0 ? 2 * r : -2 * r - 1));
  }
  return folded;
}

template <class Sample>
void expect_plain_lpc_residual(const std::vector<Sample>& x, const QuantizedLpc& lpc,
                               const char* what) {
  uint64_t peak = 0;
  for (Sample v : x) peak = std::max<uint64_t>(peak, uint64_t(v < 0 ? -int64_t(v) : int64_t(v)));
  std::vector<uint32_t> folded(x.size() - lpc.order);
  auto ones = lpc_residual<Sample>(x, lpc, peak, folded);
  auto plain = plain_lpc_residual(x, lpc);
  ASSERT_EQ(ones.has_value(), plain.has_value())
      << what << " order " << lpc.order << " shift " << lpc.shift;
  if (ones) {
    EXPECT_EQ(folded, *plain) << what << " order " << lpc.order << " shift " << lpc.shift;
    uint32_t expected = 0;
    for (uint32_t u : *plain) expected |= u;
    EXPECT_EQ(*ones, expected);
  }
}

TEST(FlacLpc, ResidualIsThePlainArithmeticsAtEveryOrderAndAtFullScale) {
  // Orders up to 32, at 16 and 24 bits, with coefficients small enough for 32-bit sums and
  // as large as 15 bits allow; runs of alternating extremes drive the sums to their bounds.
  std::mt19937 rng(11);
  for (unsigned bits : {16u, 24u}) {
    const int32_t highest = (1 << (bits - 1)) - 1, lowest = -highest - 1;
    std::vector<int32_t> x(600);
    std::uniform_int_distribution<int32_t> any(lowest, highest);
    for (size_t n = 0; n < x.size(); ++n)
      x[n] = n % 100 < 40 ? (n % 2 ? highest : lowest) : any(rng);
    for (unsigned order = 1; order <= kMaxLpcOrder; ++order) {
      for (int32_t largest : {int32_t(((1 << 30) >> (bits - 1)) / order) - 1, int32_t(16383)}) {
        QuantizedLpc lpc;
        lpc.order = order;
        lpc.shift = std::uniform_int_distribution<unsigned>(0, 15)(rng);
        std::uniform_int_distribution<int32_t> coefficient(-largest - 1, largest);
        for (unsigned j = 0; j < order; ++j) lpc.coefficients[j] = coefficient(rng);
        expect_plain_lpc_residual(x, lpc, bits == 16 ? "16-bit" : "24-bit");
      }
    }
  }
  // The 33-bit side channel of full-scale 32-bit stereo.
  std::vector<int64_t> side(300);
  for (size_t n = 0; n < side.size(); ++n)
    side[n] = n % 3 ? (int64_t(1) << 32) - 1 : -(int64_t(1) << 32) + int64_t(n);
  for (unsigned order = 1; order <= kMaxLpcOrder; ++order) {
    QuantizedLpc lpc;
    lpc.order = order;
    lpc.shift = 15;
    lpc.coefficients[0] = order % 2 ? 1 << 15 : 0;  // predicts a sample by the one before
    lpc.coefficients[order - 1] += order == 1 ? 0 : 5;
    expect_plain_lpc_residual(side, lpc, "33-bit");
  }
}

TEST(FlacStereo, EstimateUsesTheMeanSecondDifference) {
  std::vector<int32_t> x = {0, 1, 4, 9};  // second differences 2, 2
  EXPECT_DOUBLE_EQ(estimate_channel_bits<int32_t>(x), 4 * (std::log2(3.0) + 2));
  EXPECT_DOUBLE_EQ(estimate_channel_bits<int32_t>(std::vector<int32_t>{5, -5}), 16.0);
}

// Exhaustive reference for the Rice search: every order, partition and parameter.
uint64_t brute_force_rice_bits(const std::vector<uint32_t>& u, uint32_t len, unsigned order,
                               unsigned max_partition_order, unsigned* best_order) {
  uint64_t best = UINT64_MAX;
  for (unsigned p = 0; p <= max_partition_order; ++p) {
    if (len % (1u << p) != 0 || (len >> p) <= order) break;
    uint64_t narrow = 6, wide = 6;
    for (unsigned i = 0; i < (1u << p); ++i) {
      size_t begin = i == 0 ? 0 : i * (len >> p) - order;
      size_t end = (i + 1) * (len >> p) - order;
      uint64_t best_narrow = UINT64_MAX, best_wide = UINT64_MAX;
      for (unsigned k = 0; k <= 30; ++k) {
        uint64_t bits = 0;
        for (size_t n = begin; n < end; ++n) bits += (u[n] >> k) + 1 + k;
        if (k <= 14) best_narrow = std::min(best_narrow, bits);
        best_wide = std::min(best_wide, bits);
      }
      narrow += 4 + best_narrow;
      wide += 5 + best_wide;
    }
    uint64_t plan = std::min(narrow, wide);
    if (plan <= best) best = plan, *best_order = p;
  }
  return best;
}

TEST(FlacRice, SearchFindsTheCheapestPlanAndWritesExactlyItsBits) {
  std::mt19937 rng(7);
  struct Case { uint32_t len; unsigned order; unsigned max_partition_order; };
  const Case cases[] = {{4096, 0, 6}, {4096, 8, 6}, {4096, 32, 5}, {1152, 2, 3},
                        {192, 4, 6}, {4097, 3, 6}, {16, 15, 6}, {64, 12, 6}};
  RiceSearch reused;
  for (const Case& c : cases) {
    for (int trial = 0; trial < 6; ++trial) {
      // Partitions of very different loudness make the partition order matter; the largest
      // magnitudes push the parameter past the 4-bit method's 14.
      std::vector<uint32_t> u(c.len - c.order);
      for (size_t n = 0; n < u.size(); ++n) {
        unsigned scale = unsigned((n * 7 / u.size() + trial * 5) % 31);
        u[n] = uint32_t(std::uniform_int_distribution<uint64_t>(0, (uint64_t(1) << scale) * 2)(rng));
        if (trial == 5) u[n] = 0;
      }
      uint32_t ones = 0;
      for (uint32_t v : u) ones |= v;
      // A fresh search, and one that starts from the parameters of unlike earlier residuals.
      RiceSearch fresh;
      RicePlan plan = fresh.plan(u, ones, c.len, c.order, c.max_partition_order);
      unsigned brute_order = 0;
      EXPECT_EQ(plan.bits, brute_force_rice_bits(u, c.len, c.order, c.max_partition_order, &brute_order))
          << c.len << " " << c.order << " trial " << trial;
      EXPECT_EQ(plan.partition_order, brute_order);
      RicePlan again = reused.plan(u, ones, c.len, c.order, c.max_partition_order);
      EXPECT_EQ(again.bits, plan.bits);
      EXPECT_EQ(again.parameter_bits, plan.parameter_bits);
      EXPECT_EQ(again.partition_order, plan.partition_order);
      EXPECT_EQ(again.parameters, plan.parameters);

      std::vector<uint8_t> bytes;
      FlacBitWriter writer(bytes);
      writer.begin(plan.bits / 8 + 8);
      write_rice_residual(writer, plan, u, c.len, c.order);
      EXPECT_EQ(writer.bit_position(), plan.bits);
      writer.align();
      writer.finish();
    }
  }
}

TEST(FlacRice, CodesAreUnaryQuotientsThenLowBitsWhateverTheirLength) {
  // Against one bit at a time, from every starting alignment: quotients from 0 to past
  // 64 bits, parameters 0 to 30, the largest folded value.
  for (unsigned k : {0u, 1u, 2u, 5u, 14u, 30u}) {
    std::vector<uint32_t> values = {0, 1, 2, 3, 30, 31, 32, 33, 63, 64, 65, 100, 7};
    for (uint32_t& u : values) u = u << k | (0x2AAAAAAAu & ((1u << k) - 1));
    if (k == 30) values.push_back(0xFFFFFFFFu);
    for (unsigned offset = 0; offset < 40; offset += 3) {
      std::vector<uint8_t> coded, expected;
      FlacBitWriter a(coded), b(expected);
      size_t most = 8 + values.size() * 20;
      a.begin(most);
      b.begin(most);
      for (unsigned i = 0; i < offset; ++i) a.put(i % 2, 1), b.put(i % 2, 1);
      a.put_rice(values, k);
      for (uint32_t u : values) {
        for (uint32_t q = u >> k; q > 0; --q) b.put(0, 1);
        b.put(1, 1);
        for (unsigned bit = k; bit-- > 0;) b.put(u >> bit & 1, 1);
      }
      EXPECT_EQ(a.bit_position(), b.bit_position());
      a.align();
      b.align();
      a.finish();
      b.finish();
      EXPECT_EQ(coded, expected) << "k " << k << " offset " << offset;
    }
  }
}

template <class Sample>
void expect_written_bits_match_plan(unsigned level, const std::vector<Sample>& x, unsigned bits) {
  const FlacLevel& l = kFlacLevels[level];
  LpcWindows windows(l, uint32_t(x.size()));
  SubframeEncoder<Sample> encoder(l, uint32_t(x.size()));
  const SubframePlan& plan = encoder.plan(x, bits, windows);
  std::vector<uint8_t> bytes;
  FlacBitWriter writer(bytes);
  writer.begin(plan.bits / 8 + 8);
  encoder.write(writer);
  EXPECT_EQ(writer.bit_position(), plan.bits) << "level " << level << " kind " << int(plan.kind);
  writer.align();
  writer.finish();
}

TEST(FlacSubframe, PlannedCostIsTheWrittenSizeForEveryKindAndLevel) {
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0, 1);
  for (unsigned level = 0; level <= kFlacMaxLevel; ++level) {
    std::vector<int32_t> silence(100, 0), constant(100, -7), smooth(1000), wasted(1000), noisy(333);
    for (size_t n = 0; n < smooth.size(); ++n) {
      smooth[n] = int32_t(20000 * std::sin(0.01 * double(n)) + 30 * noise(rng));
      wasted[n] = (smooth[n] / 8) * 8;
    }
    for (auto& v : noisy) v = int32_t(30000 * noise(rng));
    expect_written_bits_match_plan<int32_t>(level, silence, 16);
    expect_written_bits_match_plan<int32_t>(level, constant, 16);
    expect_written_bits_match_plan<int32_t>(level, smooth, 17);
    expect_written_bits_match_plan<int32_t>(level, wasted, 16);
    expect_written_bits_match_plan<int32_t>(level, noisy, 16);
    expect_written_bits_match_plan<int32_t>(level, std::vector<int32_t>{1, -2}, 4);
    // A 33-bit side channel of full-scale 32-bit audio.
    std::vector<int64_t> side(500);
    for (size_t n = 0; n < side.size(); ++n)
      side[n] = int64_t(4.0e9 * std::sin(0.05 * double(n))) + int64_t(1000 * noise(rng));
    side[7] = -(int64_t(1) << 32);
    expect_written_bits_match_plan<int64_t>(level, side, 33);
  }
}

}  // namespace
}  // namespace murello
