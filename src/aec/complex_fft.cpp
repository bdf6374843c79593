#include "aec/complex_fft.hpp"

#include <cmath>
#include <numbers>
#include <string>
#include <utility>

#include "util/simd.hpp"

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
    re_[reversed_[j]] = data[j].real();
    im_[reversed_[j]] = data[j].imag();
  }
  run_reordered(direction);
  const double scale = direction == Direction::kInverse ? inverse_scale_ : 1.0;
  for (std::size_t j = 0; j < n_; ++j) data[j] = {re_[j] * scale, im_[j] * scale};
  return {};
}

namespace {

// The first two passes (spans 2 and 4) need no multiplications: their twiddles are
// 1 and ∓i. Done together over groups of four.
void first_passes(double* __restrict re, double* __restrict im, std::size_t n, bool inverse) {
  for (std::size_t g = 0; g < n; g += 4) {
    const double s0r = re[g] + re[g + 1], s0i = im[g] + im[g + 1];
    const double s1r = re[g] - re[g + 1], s1i = im[g] - im[g + 1];
    const double s2r = re[g + 2] + re[g + 3], s2i = im[g + 2] + im[g + 3];
    const double s3r = re[g + 2] - re[g + 3], s3i = im[g + 2] - im[g + 3];
    // u = -i·s3 forward, +i·s3 inverse
    const double ur = inverse ? -s3i : s3i;
    const double ui = inverse ? s3r : -s3r;
    re[g] = s0r + s2r;
    im[g] = s0i + s2i;
    re[g + 2] = s0r - s2r;
    im[g + 2] = s0i - s2i;
    re[g + 1] = s1r + ur;
    im[g + 1] = s1i + ui;
    re[g + 3] = s1r - ur;
    im[g + 3] = s1i - ui;
  }
}

// One butterfly pass of span d over the whole buffer.
MURELLO_VECTOR_CLONES
void pass(double* __restrict re, double* __restrict im, std::size_t n, std::size_t d,
          const double* __restrict twiddle_re, const double* __restrict twiddle_im, double sign) {
  const std::size_t half = d / 2;
  for (std::size_t g = 0; g < n; g += d) {
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
}

}  // namespace

void ComplexFft::run_reordered(Direction direction) {
  double* re = re_.data();
  double* im = im_.data();
  const bool inverse = direction == Direction::kInverse;
  const double* twiddle_re = twiddle_re_.data();
  const double* twiddle_im = twiddle_im_.data();
  std::size_t d = 2;
  if (n_ >= 4) {
    first_passes(re, im, n_, inverse);
    twiddle_re += 3;  // the twiddles of spans 2 and 4
    twiddle_im += 3;
    d = 8;
  }
  // The inverse uses the conjugate twiddles.
  const double sign = inverse ? -1.0 : 1.0;
  for (; d <= n_; d *= 2) {
    pass(re, im, n_, d, twiddle_re, twiddle_im, sign);
    twiddle_re += d / 2;
    twiddle_im += d / 2;
  }
}

}  // namespace murello::aec
