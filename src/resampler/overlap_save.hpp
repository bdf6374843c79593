// Fast convolution for the Rational form with few phases and a short step (48000 <-> 16000
// and the like): long runs of outputs computed by FFT overlap-save in double precision
// instead of one dot product each.
//
// Output j = L·q + a is due on input q·M + α_a (α_a = ⌊a·M / L⌋) and reads row
// p_a = a·M mod L, so the outputs of phase a form one stream at the base rate
// (in / M = out / L). Splitting the input into its M residues b, stream a is the sum over
// b of input residue b convolved with a sub-filter F_ab[u] = row p_a's coefficient
// M·u + α_a − b. One pass takes 2Q base steps: the first Q in the real parts and the
// next Q in the imaginary parts of one complex transform (the sub-filters are real, so
// the two never mix).
//
// Conventions: q counts base steps; input and output indices count samples from the
// start of the stream.
#pragma once

#include <cstdint>
#include <vector>

#include "resampler/design.hpp"
#include "resampler/fft.hpp"

namespace murello {

class OverlapSave {
 public:
  // Whether the design gains from this path: a Rational form with L·M small and a filter
  // long enough for transforms to beat dot products.
  static bool suits(const FilterDesign& d);
  // Inputs a pass consumes (2Q·M), for sizing the caller's sample line.
  static uint64_t pass_inputs(const FilterDesign& d);
  // Inputs a pass reads before its first output's due input: M·(K − 1).
  static uint64_t lead_inputs(const FilterDesign& d);

  explicit OverlapSave(const FilterDesign& d);

  // Outputs L·q0 … L·(q0 + 2Q) − 1 into out[0 … 2QL), given the samples from input
  // M·(q0 − K + 1) on. Returns false, writing nothing, when a sample's magnitude exceeds
  // what keeps the transform within a float ulp of the direct sum (or is not finite):
  // the caller then takes the direct path. An output whose window holds only zeros is
  // exactly 0 (the samples under its nonzero coefficients are all 0).
  bool run(const double* samples, float* out);

 private:
  bool within_range(const double* samples);
  void transform_inputs(const double* samples);
  void write_stream(uint64_t phase, float* out) const;

  uint64_t up_;              // L
  uint64_t down_;            // M
  uint64_t taps_;            // T
  uint64_t subfilter_taps_;  // K
  uint64_t steps_;           // Q: base steps per half of a pass
  FftPlan plan_;
  // Spectra, P values each: F_ab at index a·M + b (scaled by 1/P), then one per input
  // residue, then the accumulator.
  std::vector<double> filter_re_, filter_im_;
  std::vector<double> input_re_, input_im_;
  std::vector<double> sum_re_, sum_im_;
  // Per stream a: the nearest and farthest taps (steps before the due input) whose
  // coefficient is not 0; samples outside them cannot make an output nonzero.
  std::vector<uint64_t> nearest_tap_, farthest_tap_;
  // nonzero_[n]: how many of the pass's first n samples are not 0.
  std::vector<uint32_t> nonzero_;
  bool has_zeros_ = false;  // whether the current pass holds a 0, and nonzero_ is filled
};

}  // namespace murello
