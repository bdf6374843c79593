#include "aec/fft.hpp"

#include <cmath>
#include <numbers>
#include <string>
#include <utility>

namespace murello::aec {

Result<RealFft, AecError> RealFft::create(std::size_t n) {
  if (n < 2 || !is_power_of_two(n)) {
    return AecError{AecErrorKind::kSize,
                    "real FFT size must be a power of two of at least 2, got " + std::to_string(n)};
  }
  auto complex = ComplexFft::create(n / 2);
  if (!complex) return std::move(complex).error();
  return RealFft(n, std::move(complex).value());
}

RealFft::RealFft(std::size_t n, ComplexFft complex) : n_(n), complex_(std::move(complex)), unpack_(n / 2 + 1) {
  for (std::size_t k = 0; k <= n / 2; ++k) {
    const double angle = 2.0 * std::numbers::pi * static_cast<double>(k) / static_cast<double>(n);
    unpack_[k] = {std::cos(angle), -std::sin(angle)};
  }
}

Result<void, AecError> RealFft::forward(std::span<const float> in, std::vector<Complex>& out) {
  if (in.size() != n_) {
    return AecError{AecErrorKind::kLength, "real FFT input must have length n (n = " + std::to_string(n_) +
                                               ", got " + std::to_string(in.size()) + ")"};
  }
  out.resize(bins());
  forward_to(in.data(), out.data());
  return {};
}

Result<void, AecError> RealFft::inverse(std::span<const Complex> in, std::vector<float>& out) {
  if (in.size() != bins()) {
    return AecError{AecErrorKind::kLength, "real FFT spectrum must have length n/2 + 1 (n/2 + 1 = " +
                                               std::to_string(bins()) + ", got " + std::to_string(in.size()) +
                                               ")"};
  }
  out.resize(n_);
  inverse_to(in.data(), out.data());
  return {};
}

void RealFft::forward_to(const float* in, Complex* out) {
  const std::size_t half = n_ / 2;
  double* re = complex_.re();
  double* im = complex_.im();
  for (std::size_t j = 0; j < half; ++j) {
    const std::size_t r = complex_.bit_reversed(j);
    re[r] = in[2 * j];
    im[r] = in[2 * j + 1];
  }
  complex_.run_reordered(Direction::kForward);
  // Separate the spectra of the even and odd samples and combine them; bins 0 and
  // N both read Z_0 twice (Z_N is Z_0).
  const auto combine = [&](std::size_t k, std::size_t f, std::size_t g) {
    const double fr = re[f], fi = im[f], gr = re[g], gi = im[g];
    const double d = fr - gr;
    const double s = fi + gi;
    const double wr = unpack_[k].real(), wi = unpack_[k].imag();
    out[k] = {0.5 * (fr + gr) + 0.5 * (wr * s + wi * d), 0.5 * (fi - gi) - 0.5 * wr * d + 0.5 * wi * s};
  };
  combine(0, 0, 0);
  for (std::size_t k = 1; k < half; ++k) combine(k, k, half - k);
  combine(half, 0, 0);
}

void RealFft::inverse_to(const Complex* in, float* out) {
  const std::size_t half = n_ / 2;
  double* re = complex_.re();
  double* im = complex_.im();
  for (std::size_t j = 0; j < half; ++j) {
    const double c = in[j].real(), d = in[j].imag();
    const double e = in[half - j].real(), f = in[half - j].imag();
    const double g = unpack_[j].real(), h = unpack_[j].imag();
    const std::size_t r = complex_.bit_reversed(j);
    re[r] = 0.5 * (c + e) - 0.5 * ((d + f) * g - (c - e) * h);
    im[r] = 0.5 * (d - f) + 0.5 * (g * (c - e) + (d + f) * h);
  }
  complex_.run_reordered(Direction::kInverse);
  const double scale = complex_.inverse_scale();
  for (std::size_t j = 0; j < half; ++j) {
    out[2 * j] = static_cast<float>(re[j] * scale);
    out[2 * j + 1] = static_cast<float>(im[j] * scale);
  }
}

}  // namespace murello::aec
