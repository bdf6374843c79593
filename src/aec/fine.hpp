// FineSearch: finds the echo lag at full rate within a window of `lags` samples
// by phase-transform cross-correlation.
//
// Each step whitens the cross-spectrum of a tapered near window and the far
// window that covers every lag (bins far below the strongest are not lifted to
// full weight), and adds it to an accumulator; a decision is the lag whose
// correlation peak stands at least 10 times above the mean over all lags.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "aec/fft.hpp"

namespace murello::aec {

class FineSearch {
 public:
  // The plan size is the smallest power of two not below 2·lags, at most 65536;
  // a capped plan searches only half its size.
  static Result<FineSearch, AecError> create(std::size_t lags);

  std::size_t lags() const { return lags_; }

  // `near` holds lags() samples ending now; `far` holds 2·lags() samples ending
  // at the far position lag 0 refers to. Returns false when either is too quiet
  // to add anything.
  bool accumulate(std::span<const float> near, std::span<const float> far);

  // The lag of the accumulated correlation's peak, when it passes the peak test.
  std::optional<std::size_t> decide();

  std::size_t steps() const { return steps_; }
  void reset();

 private:
  FineSearch(std::size_t lags, RealFft plan);

  std::size_t lags_;
  RealFft plan_;
  std::vector<float> padded_;
  std::vector<Complex> near_spectrum_;
  std::vector<Complex> far_spectrum_;
  std::vector<Complex> accumulated_;
  std::vector<float> correlation_;
  std::vector<float> taper_;  // applied to the near window
  std::size_t steps_ = 0;
};

}  // namespace murello::aec
