// Bin-wise arithmetic on spectra of complex doubles.
//
// Products are written out rather than left to std::complex, whose multiplication
// carries a NaN-recovery path that keeps hot loops from vectorising.
#pragma once

#include <complex>
#include <cstddef>

namespace murello::aec {

using Complex = std::complex<double>;

inline Complex multiply(Complex a, Complex b) {
  return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}
// a × conj(b)
inline Complex multiply_conj(Complex a, Complex b) {
  return {a.real() * b.real() + a.imag() * b.imag(), a.imag() * b.real() - a.real() * b.imag()};
}
inline double power(Complex a) { return a.real() * a.real() + a.imag() * a.imag(); }

// sum[k] += a[k] × b[k]
void multiply_add(Complex* sum, const Complex* a, const Complex* b, std::size_t n);
// out[k] = a[k] × conj(b[k])
void multiply_conj(Complex* out, const Complex* a, const Complex* b, std::size_t n);

}  // namespace murello::aec
