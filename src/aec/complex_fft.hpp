// ComplexFft: in-place radix-2 complex transform of a power-of-two size N, in
// double precision.
//
// The plan is built once; afterwards a transform allocates nothing. Data lives in
// the plan's own work buffer as separate real and imaginary arrays, so that every
// butterfly pass runs over contiguous memory and vectorises. The forward transform
// is unscaled; the inverse is scaled by 1/N.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "aec/error.hpp"
#include "util/result.hpp"

namespace murello::aec {

enum class Direction { kForward, kInverse };

class ComplexFft {
 public:
  static Result<ComplexFft, AecError> create(std::size_t n);

  std::size_t size() const { return n_; }

  // Transforms `data` (N values) in place. Any other length is refused.
  Result<void, AecError> transform(std::span<std::complex<double>> data, Direction direction);

  // The work buffer, for callers that pack and unpack it themselves (the real
  // transform): they store element j at position bit_reversed(j) and call
  // run_reordered(), which leaves the inverse unscaled (see inverse_scale()).
  double* re() { return re_.data(); }
  double* im() { return im_.data(); }
  std::uint32_t bit_reversed(std::size_t j) const { return reversed_[j]; }
  double inverse_scale() const { return inverse_scale_; }
  void run_reordered(Direction direction);

 private:
  explicit ComplexFft(std::size_t n);

  std::size_t n_;
  std::vector<std::uint32_t> reversed_;  // entry j: j with its log2(N) low bits reversed
  // Twiddles t_{i·N/d}, i < d/2, stored stage after stage (spans d = 2, 4, ..., N)
  // so each pass reads them contiguously; the last stage holds every t_k, k < N/2.
  std::vector<double> twiddle_re_;
  std::vector<double> twiddle_im_;
  double inverse_scale_;
  std::vector<double> re_;
  std::vector<double> im_;
};

bool is_power_of_two(std::size_t n);

}  // namespace murello::aec
