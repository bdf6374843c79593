// CoarseSearch: finds the echo delay on decimated envelopes (about 1000 values a
// second) over a long range of lags.
//
// Each evaluation correlates the latest `window` near envelope values with the far
// envelope at every lag 0 ... `lags`, as correlation coefficients about the
// windows' means, computed through one FFT correlation plus running sums. The
// per-lag values are averaged over recent evaluations; a decision is the lag whose
// average is at least 0.25 and at least 1.5 times the best value outside its own
// main lobe. Lags are in envelope values.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "aec/fft.hpp"

namespace murello::aec {

class CoarseSearch {
 public:
  // The FFT covers lags + window values without wrap-around.
  static Result<CoarseSearch, AecError> create(std::size_t lags, std::size_t window);

  std::size_t lags() const { return lags_; }
  std::size_t window() const { return window_; }

  // `near` holds `window` values, `far` holds lags + window values ending at the
  // same moment as `near`. A near window without variation is not evaluated.
  void evaluate(std::span<const float> near, std::span<const float> far);

  // The best lag of the averaged correlation, when it passes both tests.
  std::optional<std::size_t> decide();

  // The largest per-lag value of the last evaluation.
  float figure_of_merit() const { return figure_of_merit_; }
  std::size_t evaluations() const { return count_; }

  void reset();

 private:
  CoarseSearch(std::size_t lags, std::size_t window, RealFft plan);

  std::size_t lags_;
  std::size_t window_;
  RealFft plan_;
  std::vector<float> padded_;
  std::vector<Complex> near_spectrum_;
  std::vector<Complex> far_spectrum_;
  std::vector<float> correlation_;
  std::vector<double> far_sum_;     // prefix sums of the far window
  std::vector<double> far_square_;  // prefix sums of its squares
  std::vector<double> accumulated_;
  std::vector<double> average_;
  std::size_t count_ = 0;
  float figure_of_merit_ = 0.0f;
};

}  // namespace murello::aec
