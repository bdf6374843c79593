#include "resampler/kernel.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace murello {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kHalfPi = kPi / 2;

// Kaiser's length formula for 84 dB: (A − 7.95) and 2.285 × π.
constexpr double kAttenuationTerm = 76.05;
constexpr double kLengthScale = 7.1785392134526775;
constexpr double kTransitionFraction = 0.025;
constexpr double kCutoffFraction = 0.4875;

// Taylor coefficients of sin(a) / a − 1 in a², highest power first (Horner order).
constexpr std::array<double, 9> kSineTaylor = {
    -8.22063524662433e-18, 2.8114572543455206e-15, -7.647163731819816e-13,
    1.6059043836821613e-10, -2.505210838544172e-8, 2.7557319223985893e-6,
    -0.0001984126984126984, 0.008333333333333333, -0.16666666666666666,
};

// Series summed side by side: their steps are independent, so interleaving them keeps
// the divider busy instead of waiting on one chain.
constexpr size_t kBesselLanes = 8;

}  // namespace

double kaiser_length(double low_hz, double prototype_hz) {
  const double transition = 2 * kTransitionFraction * low_hz / prototype_hz;
  return std::ceil(kAttenuationTerm / (transition * kLengthScale) + 1);
}

double kaiser_cutoff(double low_hz, double prototype_hz) {
  return kCutoffFraction * low_hz * kTwoPi / prototype_hz;
}

double kernel_sine(double radians) {
  double a = radians - std::round(radians / kTwoPi) * kTwoPi;
  if (a > kHalfPi) {
    a = kPi - a;
  } else if (a < -kHalfPi) {
    a = -kPi - a;
  }
  const double a2 = a * a;
  double p = 0;
  for (double c : kSineTaylor) p = p * a2 + c;
  return a * (1 + a2 * p);
}

double bessel_i0_series(double x) {
  double sum = 1 + x;
  if (sum == 1) return 1;
  double term = x;
  for (double k = 2;; ++k) {
    term = term * x / (k * k);
    const double next = sum + term;
    if (next == sum) return sum;
    sum = next;
  }
}

void bessel_i0_series(const double* x, size_t count, double* out) {
  for (size_t first = 0; first < count; first += kBesselLanes) {
    const size_t lanes = std::min(kBesselLanes, count - first);
    double arg[kBesselLanes], sum[kBesselLanes], term[kBesselLanes];
    bool running[kBesselLanes];
    size_t left = 0;
    for (size_t l = 0; l < kBesselLanes; ++l) {
      arg[l] = l < lanes ? x[first + l] : 0.0;
      sum[l] = 1 + arg[l];
      term[l] = arg[l];
      running[l] = l < lanes && sum[l] != 1;
      left += running[l];
    }
    for (double k = 2; left > 0; ++k) {
      for (size_t l = 0; l < kBesselLanes; ++l) {
        if (!running[l]) continue;
        term[l] = term[l] * arg[l] / (k * k);
        const double next = sum[l] + term[l];
        if (next == sum[l]) {
          running[l] = false;
          --left;
        } else {
          sum[l] = next;
        }
      }
    }
    for (size_t l = 0; l < lanes; ++l) out[first + l] = sum[l];
  }
}

std::vector<double> windowed_sinc(uint64_t length, double cutoff) {
  std::vector<double> h(length);
  const uint64_t centre = (length - 1) / 2;
  const double i0_beta = bessel_i0_series((kKaiserBeta / 2) * (kKaiserBeta / 2));
  // The window's series for all points first (h holds their arguments, then values),
  // several at a time; then the sinc.
  for (uint64_t i = 0; i <= centre; ++i) {
    const double r = (static_cast<double>(i) - static_cast<double>(centre)) /
                     static_cast<double>(centre);
    const double half_arg = std::sqrt(std::max(1 - r * r, 0.0)) * kKaiserBeta * 0.5;
    h[i] = half_arg * half_arg;
  }
  bessel_i0_series(h.data(), centre + 1, h.data());
  for (uint64_t i = 0; i <= centre; ++i) {
    const double n = static_cast<double>(i) - static_cast<double>(centre);
    const double sinc = n == 0 ? cutoff / kPi : kernel_sine(cutoff * n) / (kPi * n);
    const double value = sinc * h[i] / i0_beta;
    h[i] = value;
    h[length - 1 - i] = value;
  }
  double sum = 0;
  for (double v : h) sum += v;
  const double scale = 1 / sum;
  for (double& v : h) v *= scale;
  return h;
}

}  // namespace murello
