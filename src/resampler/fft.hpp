// A complex FFT in double precision for fast convolution, on split arrays (real parts in
// one array, imaginary parts in another).
//
// Conventions: `size` is a power of two, at least 2. `forward` takes natural order and
// leaves the spectrum in bit-reversed order; `inverse` takes bit-reversed order and leaves
// natural order, unscaled (forward then inverse multiplies by `size`). Convolution needs
// only pointwise products, which do not care about the order of the bins, so no
// reordering pass is ever made.
#pragma once

#include <cstddef>
#include <vector>

namespace murello {

class FftPlan {
 public:
  explicit FftPlan(size_t size);

  size_t size() const { return size_; }
  void forward(double* re, double* im) const;
  void inverse(double* re, double* im) const;

 private:
  size_t size_;
  // For the stage whose butterflies span 2h points, h twiddles e^(−2πi·j/2h) for j < h,
  // at offset h − 1: every stage reads its own contiguous run.
  std::vector<double> twiddle_re_;
  std::vector<double> twiddle_im_;
};

// acc += a × b over `count` complex values in split form.
void multiply_accumulate(const double* a_re, const double* a_im, const double* b_re,
                         const double* b_im, size_t count, double* acc_re, double* acc_im);

}  // namespace murello
