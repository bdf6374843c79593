// Frequency response measured with pure tones: pass-band gain, and what leaks through
// the stop band as aliases (decimation) or images (interpolation).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "signals.hpp"

namespace murello {
namespace {

constexpr double kAmplitude = 0.5;
constexpr size_t kWindowFrames = 4096;
// The design promises 84 dB; its float table and float output cost a little.
constexpr double kStopBandDb = -83.0;
constexpr double kRippleDb = 0.001;

struct ToneFit {
  double amplitude;
  double residual_rms;
};

// Least-squares fit of a sine and cosine at `hz`; what the fit leaves is the residual.
ToneFit fit_tone(std::span<const float> x, double hz, double rate_hz) {
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double w = 2 * M_PI * hz * double(i) / rate_hz;
    const double s = std::sin(w), c = std::cos(w);
    ss += s * s, sc += s * c, cc += c * c, xs += x[i] * s, xc += x[i] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (xs * cc - xc * sc) / det, b = (xc * ss - xs * sc) / det;
  double residual = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double w = 2 * M_PI * hz * double(i) / rate_hz;
    const double e = x[i] - a * std::sin(w) - b * std::cos(w);
    residual += e * e;
  }
  return {std::hypot(a, b), std::sqrt(residual / double(x.size()))};
}

double db(double ratio) { return 20 * std::log10(ratio); }

// Steady-state output for a tone at `hz`, past the filter's ramp-in, from one call.
std::vector<float> steady_output(uint32_t in_hz, uint32_t out_hz, double hz) {
  Resampler r = testing::make(in_hz, out_hz);
  const size_t skip = 2 * r.group_delay_frames() + 2;
  // Long enough for transform passes where the pair takes them.
  const size_t frames =
      std::max<size_t>(size_t(double(skip + kWindowFrames) * in_hz / out_hz) + 2, 16384);
  std::vector<float> out;
  EXPECT_TRUE(r.process(testing::sine(frames, hz, in_hz, kAmplitude), out).ok());
  EXPECT_GE(out.size(), skip + kWindowFrames);
  return {out.begin() + skip, out.begin() + skip + kWindowFrames};
}

using Pair = std::pair<uint32_t, uint32_t>;
class ResamplerQuality : public ::testing::TestWithParam<Pair> {};

TEST_P(ResamplerQuality, PassBandIsFlatAndItsImagesAreSuppressed) {
  const auto [in_hz, out_hz] = GetParam();
  const double low = std::min(in_hz, out_hz);
  double worst_ripple = 0, worst_leak = -300;
  for (double fraction : {0.003, 0.05, 0.15, 0.3, 0.4, 0.45, 0.47, 0.475}) {
    const std::vector<float> out = steady_output(in_hz, out_hz, fraction * low);
    const ToneFit fit = fit_tone(out, fraction * low, out_hz);
    worst_ripple = std::max(worst_ripple, std::abs(db(fit.amplitude / kAmplitude)));
    worst_leak = std::max(worst_leak, db(fit.residual_rms / (kAmplitude / std::sqrt(2.0))));
  }
  EXPECT_LE(worst_ripple, kRippleDb);
  EXPECT_LE(worst_leak, kStopBandDb);
  std::printf("  %u -> %u: pass-band ripple %.5f dB, residual %.1f dB\n", in_hz, out_hz,
              worst_ripple, worst_leak);
}

// A tone above the lower rate's Nyquist frequency has no place in a decimator's output:
// all that comes out is alias. An interpolator's stop band is reached by the images of
// tones in the transition band, which land just above that frequency.
TEST_P(ResamplerQuality, StopBandIsAttenuated) {
  const auto [in_hz, out_hz] = GetParam();
  const bool decimating = out_hz < in_hz;
  const double low = std::min(in_hz, out_hz);
  std::vector<double> tones;
  if (decimating) {
    const double top = 0.499 * in_hz;
    tones = {0.5 * low, 0.501 * low, 0.503 * low, 0.507 * low, 0.515 * low, top};
    for (double hz = 0.53 * low; hz < top; hz += (top - 0.5 * low) / 12) tones.push_back(hz);
  } else {
    tones = {0.48 * low, 0.49 * low, 0.495 * low, 0.4975 * low, 0.499 * low};
  }
  double worst = -300;
  for (double hz : tones) {
    const std::vector<float> out = steady_output(in_hz, out_hz, hz);
    const double leak =
        decimating ? std::sqrt(std::inner_product(out.begin(), out.end(), out.begin(), 0.0) /
                               double(out.size()))
                   : fit_tone(out, hz, out_hz).residual_rms;
    worst = std::max(worst, db(leak / (kAmplitude / std::sqrt(2.0))));
  }
  EXPECT_LE(worst, kStopBandDb);
  std::printf("  %u -> %u: stop band %.1f dB\n", in_hz, out_hz, worst);
}

INSTANTIATE_TEST_SUITE_P(CommonPairs, ResamplerQuality,
                         ::testing::Values(Pair{48000, 16000}, Pair{16000, 48000},
                                           Pair{44100, 16000}, Pair{44100, 48000},
                                           Pair{48000, 44100}, Pair{48000, 44101},
                                           Pair{44101, 48000}, Pair{48000, 20000},
                                           Pair{32000, 48000}),
                         [](const auto& info) {
                           return std::to_string(info.param.first) + "_to_" +
                                  std::to_string(info.param.second);
                         });

}  // namespace
}  // namespace murello
