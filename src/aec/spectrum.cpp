#include "aec/spectrum.hpp"

#include "util/simd.hpp"

namespace murello::aec {

// Both work on the interleaved (real, imaginary) doubles that std::complex arrays
// are guaranteed to be.
MURELLO_VECTOR_CLONES
void multiply_add(Complex* sum, const Complex* a, const Complex* b, std::size_t n) {
  double* __restrict s = reinterpret_cast<double*>(sum);
  const double* __restrict x = reinterpret_cast<const double*>(a);
  const double* __restrict y = reinterpret_cast<const double*>(b);
  for (std::size_t k = 0; k < n; ++k) {
    const double xr = x[2 * k], xi = x[2 * k + 1], yr = y[2 * k], yi = y[2 * k + 1];
    s[2 * k] += xr * yr - xi * yi;
    s[2 * k + 1] += xr * yi + xi * yr;
  }
}

MURELLO_VECTOR_CLONES
void multiply_conj(Complex* out, const Complex* a, const Complex* b, std::size_t n) {
  double* __restrict o = reinterpret_cast<double*>(out);
  const double* __restrict x = reinterpret_cast<const double*>(a);
  const double* __restrict y = reinterpret_cast<const double*>(b);
  for (std::size_t k = 0; k < n; ++k) {
    const double xr = x[2 * k], xi = x[2 * k + 1], yr = y[2 * k], yi = y[2 * k + 1];
    o[2 * k] = xr * yr + xi * yi;
    o[2 * k + 1] = xi * yr - xr * yi;
  }
}

}  // namespace murello::aec
