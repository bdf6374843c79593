#include "aec/fractional.hpp"

#include <algorithm>
#include <cmath>

namespace murello::aec {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kBeta = 8.0;  // Kaiser shape: sidelobes near -80 dB
constexpr std::size_t kHalf = FractionalReader::kTaps / 2;
// Room either side of a read for the kernel and for a step a little off 1.
constexpr std::size_t kSlack = FractionalReader::kTaps + 8;

double bessel_i0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 40; ++k) {
    term *= (x / (2.0 * k)) * (x / (2.0 * k));
    sum += term;
  }
  return sum;
}

}  // namespace

FractionalReader::FractionalReader(std::size_t max_count)
    : table_((kPhases + 1) * kTaps), scratch_(max_count + max_count / 64 + kSlack) {
  // Row f holds the taps for a position f/kPhases past a whole sample; tap j
  // weighs the sample j − kHalf + 1 places from it.
  const double norm = bessel_i0(kBeta);
  for (std::size_t f = 0; f <= kPhases; ++f) {
    const double frac = static_cast<double>(f) / kPhases;
    for (std::size_t j = 0; j < kTaps; ++j) {
      const double t = static_cast<double>(j) - static_cast<double>(kHalf) + 1.0 - frac;
      // Whole offsets are exact zeros (sin(πm) is not), so whole positions read exactly.
      const double sinc = t == 0.0 ? 1.0 : t == std::round(t) ? 0.0 : std::sin(kPi * t) / (kPi * t);
      const double u = t / static_cast<double>(kHalf);
      const double window = std::fabs(u) >= 1.0 ? 0.0 : bessel_i0(kBeta * std::sqrt(1.0 - u * u)) / norm;
      table_[f * kTaps + j] = static_cast<float>(sinc * window);
    }
  }
}

void FractionalReader::read(const HistoryRing& history, double start, double step, std::span<float> out) {
  if (out.empty()) return;
  const double last = start + step * static_cast<double>(out.size() - 1);
  const auto first = static_cast<std::int64_t>(std::floor(std::min(start, last))) - static_cast<std::int64_t>(kHalf);
  const auto needed = static_cast<std::size_t>(std::floor(std::max(start, last)) - std::floor(std::min(start, last))) +
                      kTaps + 1;
  std::span<float> span(scratch_.data(), std::min(needed, scratch_.size()));
  history.read(first, span);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double position = start + step * static_cast<double>(i);
    const double whole = std::floor(position);
    const double phase = (position - whole) * kPhases;
    const auto f = std::min(static_cast<std::size_t>(phase), kPhases - 1);
    const auto mix = static_cast<float>(phase - static_cast<double>(f));
    const float* a = table_.data() + f * kTaps;
    const float* b = a + kTaps;
    const std::size_t base = static_cast<std::size_t>(static_cast<std::int64_t>(whole) - first) - kHalf + 1;
    float sum = 0.0f;
    if (base + kTaps <= span.size()) {
      const float* x = span.data() + base;
      for (std::size_t j = 0; j < kTaps; ++j) sum += (a[j] + mix * (b[j] - a[j])) * x[j];
    }
    out[i] = sum;
  }
}

}  // namespace murello::aec
