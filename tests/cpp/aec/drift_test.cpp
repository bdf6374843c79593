// Following clock drift: reading the far end between samples, and the loop that
// measures the drift from the filter's weights.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "aec/delay.hpp"
#include "aec/drift.hpp"
#include "aec/fft.hpp"
#include "aec/fractional.hpp"
#include "aec/ring.hpp"

namespace murello::aec {
namespace {

constexpr double kPi = 3.14159265358979323846;

HistoryRing sine_history(double cycles_per_sample, std::size_t n) {
  HistoryRing ring(n);
  for (std::size_t i = 0; i < n; ++i) ring.push(static_cast<float>(std::sin(2.0 * kPi * cycles_per_sample * i)));
  return ring;
}

TEST(FractionalReader, WholePositionsGiveTheStoredSamplesAndMissingOnesSilence) {
  const HistoryRing ring = sine_history(0.05, 1000);
  FractionalReader reader(256);
  std::vector<float> out(200), stored(200);
  reader.read(ring, 300.0, 1.0, out);
  ring.read(300, stored);
  EXPECT_EQ(out, stored);
  std::vector<float> late(64, 1.0f);
  reader.read(ring, 1100.0, 1.0, late);
  EXPECT_EQ(late, std::vector<float>(64, 0.0f));
}

// Between samples, and with the position stepping a little faster or slower
// than the samples, a tone reads back as the tone at that position.
TEST(FractionalReader, ReadsBetweenSamplesAtSlightlyOffSteps) {
  for (double cycles : {0.01, 0.1, 0.35}) {
    const HistoryRing ring = sine_history(cycles, 4000);
    FractionalReader reader(256);
    for (double step : {1.0, 1.0 + 2e-4, 1.0 - 2e-4}) {
      std::vector<float> out(256);
      const double start = 1500.37;
      reader.read(ring, start, step, out);
      double error = 0.0, signal = 0.0;
      for (std::size_t i = 0; i < out.size(); ++i) {
        const double truth = std::sin(2.0 * kPi * cycles * (start + step * static_cast<double>(i)));
        error += (out[i] - truth) * (out[i] - truth);
        signal += truth * truth;
      }
      EXPECT_LT(10.0 * std::log10(error / signal), -60.0) << cycles << " cycles per sample, step " << step;
    }
  }
}

constexpr std::size_t kBins = 257;
constexpr std::size_t kBlock = 256;
constexpr std::uint32_t kRate = 16000;

// The weights of a filter holding a direct path at `position` taps and a
// reflection 90 taps later; bins from `quiet_from` on hold fixed values, as those
// of a band the far end leaves empty do, strong enough to outweigh the path.
std::vector<Complex> weights_at(double position, std::size_t partitions, std::size_t quiet_from) {
  std::vector<Complex> w(partitions * kBins);
  for (std::size_t k = 0; k < kBins; ++k) {
    const double turn = -2.0 * kPi * static_cast<double>(k) / 512.0;
    w[k] = k < quiet_from ? std::polar(1.0, turn * position) + std::polar(0.4, turn * (position + 90.0))
                          : std::polar(3.0, -1.7 * static_cast<double>(k));
    w[kBins + k] = Complex(0.05, 0.0);  // a faint, standing tail
  }
  return w;
}

struct LoopCase {
  double drift;       // samples of extra delay per sample
  double follow;      // share of the remaining distance the filter follows per block
  std::size_t quiet;  // first bin of the empty band
  bool trusted;
  double expected;
};

// The loop closes over the filter: the path the weights show moves by the drift
// less the rate the loop applies. Whether the filter follows the slide closely or
// lags behind it, whatever the band, the rate must settle on the drift.
TEST(DriftLoop, SettlesOnTheDriftOfAFilterThatFollowsItOnlyInPart) {
  const std::vector<LoopCase> cases = {
      {1e-4, 1.0, kBins, true, 1e-4},   {-1e-4, 1.0, kBins, true, -1e-4},  {1e-4, 0.02, kBins, true, 1e-4},
      {-1e-4, 0.02, 100, true, -1e-4},  {0.0, 1.0, 100, true, 0.0},        {3e-5, 0.05, 150, true, 3e-5},
      {1e-4, 1.0, kBins, false, 0.0},
  };
  for (const LoopCase& c : cases) {
    DriftLoop loop(kRate, kBlock);
    RealFft plan = std::move(RealFft::create(2 * kBlock)).value();
    std::vector<double> far_power(kBins, 1.0);
    for (std::size_t k = c.quiet; k < kBins; ++k) far_power[k] = 0.0;
    double path = 20.0;   // where the echo really sits in the filter
    double shown = 20.0;  // where the weights show it
    for (std::size_t block = 0; block < 60 * kRate / kBlock; ++block) {
      path += (c.drift - loop.rate()) * kBlock;
      shown += c.follow * (path - shown);
      loop.update(plan, weights_at(shown, 2, c.quiet), far_power, c.trusted);
    }
    EXPECT_NEAR(loop.rate(), c.expected, 2e-6)
        << "drift " << c.drift << ", follow " << c.follow << ", quiet from " << c.quiet << ", trusted " << c.trusted;
  }
}

// A changed path (new weights unlike the old) is no slide, and a reset starts
// the positions afresh without losing the rate.
TEST(DriftLoop, IgnoresAChangedPathAndKeepsTheRateOverAReset) {
  DriftLoop loop(kRate, kBlock);
  RealFft plan = std::move(RealFft::create(2 * kBlock)).value();
  const std::vector<double> far_power(kBins, 1.0);
  double path = 20.0;
  const std::size_t blocks = 20 * kRate / kBlock;
  for (std::size_t block = 0; block < blocks; ++block) {
    path += (1e-4 - loop.rate()) * kBlock;
    loop.update(plan, weights_at(path, 2, kBins), far_power, true);
  }
  const double settled = loop.rate();
  EXPECT_NEAR(settled, 1e-4, 5e-6);
  loop.forget();
  EXPECT_EQ(loop.rate(), settled);
  // The speaker moves 6 taps away at once, then a room whose paths stand 150
  // taps later replaces the old one: neither jump is taken for drift.
  for (std::size_t block = 0; block < blocks; ++block) {
    path += (1e-4 - loop.rate()) * kBlock;
    auto w = weights_at(path, 2, kBins);
    if (block > blocks / 4) w = weights_at(path + 6.0, 2, kBins);
    if (block > blocks / 2) w = weights_at(path + 150.0, 2, kBins);
    loop.update(plan, w, far_power, true);
  }
  EXPECT_NEAR(loop.rate(), 1e-4, 5e-6);
}

// A drift rate set on the tracker moves where the aligned far end is read: the
// echo's delay grows (or shrinks) by the rate each sample, and the reported delay
// follows to the nearest sample.
TEST(DelayTracker, ReadsTheFarEndWhereTheDriftHasMovedIt) {
  for (double rate : {5e-4, -5e-4}) {
    EngineConfig config;
    config.sample_rate_hz = 16000;
    config.fixed_delay_ms = 10;  // 160 samples
    DelayTracker tracker = std::move(DelayTracker::create(config)).value();
    const double cycles = 0.013;
    std::vector<float> far(16000);
    for (std::size_t i = 0; i < far.size(); ++i) far[i] = static_cast<float>(std::sin(2.0 * kPi * cycles * i));
    tracker.push_far(far);
    tracker.set_drift(rate);
    std::vector<float> aligned(8000);
    for (std::size_t i = 0; i < aligned.size(); i += 100) tracker.align(std::span(aligned).subspan(i, 100));
    double worst = 0.0;
    for (std::size_t n = 200; n < aligned.size(); ++n) {
      const double position = static_cast<double>(n) - 160.0 - rate * static_cast<double>(n);
      worst = std::max(worst, std::fabs(aligned[n] - std::sin(2.0 * kPi * cycles * position)));
    }
    EXPECT_LT(worst, 1e-3) << rate;
    EXPECT_EQ(tracker.delay(), std::optional<std::uint64_t>(rate > 0 ? 164 : 156)) << rate;
  }
}

}  // namespace
}  // namespace murello::aec
