// Suppressor: the conservative residual-echo suppressor.
//
// Per bin it compares the smoothed power of the foreground error with that of the
// foreground echo estimate and attenuates (down to 0.1) only where the estimated
// echo towers over the error by more than about 35 dB; gains are smoothed in time
// (fast attack towards 1, slower release) and over nine neighbouring bins.
#pragma once

#include <cstddef>
#include <vector>

#include "aec/fft.hpp"

namespace murello::aec {

class Suppressor {
 public:
  explicit Suppressor(std::size_t bins);

  // `error` holds the last two blocks of foreground error (2 × block samples),
  // `echo` the foreground echo spectrum; writes the last block of the suppressed
  // error to `out`. With `held` adaptation every raw gain is 1.
  void process(RealFft& plan, const float* error, const Complex* echo, bool held, float* out);

  // The filter's error exploded: forget the powers and pass everything.
  void reset();

 private:
  std::vector<Complex> spectrum_;
  std::vector<double> echo_power_;
  std::vector<double> error_power_;
  std::vector<double> gain_;
  std::vector<float> frame_;
};

}  // namespace murello::aec
