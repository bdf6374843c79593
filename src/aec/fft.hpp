// RealFft: transform of n real float32 samples (n a power of two, at least 2)
// into n/2 + 1 complex bins, computed in double precision through a complex
// transform of N = n/2 points.
//
// Bin 0 holds DC and bin N the Nyquist term. The forward transform is unscaled;
// inverse(forward(x)) returns x. After create() nothing allocates: the checked
// calls reuse the capacity of the caller's vectors, and the unchecked calls write
// into buffers the caller sized once. A plan is used by one thread at a time.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

#include "aec/complex_fft.hpp"
#include "aec/error.hpp"
#include "aec/spectrum.hpp"
#include "util/result.hpp"

namespace murello::aec {

class RealFft {
 public:
  static Result<RealFft, AecError> create(std::size_t n);

  std::size_t size() const { return n_; }
  std::size_t bins() const { return n_ / 2 + 1; }

  // `in` must hold n samples; `out` is refilled with n/2 + 1 bins.
  Result<void, AecError> forward(std::span<const float> in, std::vector<Complex>& out);
  // `in` must hold n/2 + 1 bins; `out` is refilled with n samples.
  Result<void, AecError> inverse(std::span<const Complex> in, std::vector<float>& out);

  // Unchecked forms: `in` holds n samples / n/2 + 1 bins, `out` has room for the result.
  void forward_to(const float* in, Complex* out);
  void inverse_to(const Complex* in, float* out);

 private:
  RealFft(std::size_t n, ComplexFft complex);

  std::size_t n_;
  ComplexFft complex_;
  std::vector<Complex> unpack_;  // w_k = exp(-2πik/n), k = 0 ... n/2
};

}  // namespace murello::aec
