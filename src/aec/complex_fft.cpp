#include "aec/complex_fft.hpp"

#include <cmath>
#include <numbers>
#include <string>
#include <utility>

namespace murello::aec {

bool is_power_of_two(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

Result<ComplexFft, AecError> ComplexFft::create(std::size_t n) {
  if (!is_power_of_two(n)) {
    return AecError{AecErrorKind::kSize, "FFT size must be a power of two, got " + std::to_string(n)};
  }
  return ComplexFft(n);
}

ComplexFft::ComplexFft(std::size_t n)
    : n_(n), reversed_(n), inverse_scale_(1.0 / static_cast<double>(n)), re_(n), im_(n) {
  int bits = 0;
  while ((std::size_t{1} << bits) < n) ++bits;
  for (std::size_t j = 0; j < n; ++j) {
    std::uint32_t r = 0;
    for (int b = 0; b < bits; ++b) r |= static_cast<std::uint32_t>((j >> b) & 1u) << (bits - 1 - b);
    reversed_[j] = r;
  }
  for (std::size_t d = 2; d <= n; d *= 2) {
    for (std::size_t i = 0; i < d / 2; ++i) {
      const double angle = 2.0 * std::numbers::pi * static_cast<double>(i * (n / d)) / static_cast<double>(n);
      twiddle_re_.push_back(std::cos(angle));
      twiddle_im_.push_back(-std::sin(angle));
    }
  }
}

Result<void, AecError> ComplexFft::transform(std::span<std::complex<double>> data, Direction direction) {
  if (data.size() != n_) {
    return AecError{AecErrorKind::kLength, "transform buffer must have length n (n = " + std::to_string(n_) +
                                               ", got " + std::to_string(data.size()) + ")"};
  }
  for (std::size_t j = 0; j < n_; ++j) {
    re_[j] = data[j].real();
    im_[j] = data[j].imag();
  }
  run(direction);
  for (std::size_t j = 0; j < n_; ++j) data[j] = {re_[j], im_[j]};
  return {};
}

void ComplexFft::run(Direction direction) {
  double* __restrict re = re_.data();
  double* __restrict im = im_.data();
  for (std::size_t j = 0; j < n_; ++j) {
    const std::size_t r = reversed_[j];
    if (j < r) {
      std::swap(re[j], re[r]);
      std::swap(im[j], im[r]);
    }
  }
  // The inverse uses the conjugate twiddles.
  const double sign = direction == Direction::kForward ? 1.0 : -1.0;
  const double* twiddle_re = twiddle_re_.data();
  const double* twiddle_im = twiddle_im_.data();
  for (std::size_t d = 2; d <= n_; d *= 2) {
    const std::size_t half = d / 2;
    for (std::size_t g = 0; g < n_; g += d) {
      double* __restrict ar = re + g;
      double* __restrict ai = im + g;
      double* __restrict br = re + g + half;
      double* __restrict bi = im + g + half;
      for (std::size_t i = 0; i < half; ++i) {
        const double tr = twiddle_re[i];
        const double ti = sign * twiddle_im[i];
        const double ur = tr * br[i] - ti * bi[i];
        const double ui = tr * bi[i] + ti * br[i];
        const double xr = ar[i];
        const double xi = ai[i];
        ar[i] = xr + ur;
        ai[i] = xi + ui;
        br[i] = xr - ur;
        bi[i] = xi - ui;
      }
    }
    twiddle_re += half;
    twiddle_im += half;
  }
  if (direction == Direction::kInverse) {
    for (std::size_t j = 0; j < n_; ++j) {
      re[j] *= inverse_scale_;
      im[j] *= inverse_scale_;
    }
  }
}

}  // namespace murello::aec
