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
  // Inputs a pass reads before its first output's due input: M·(K − 1).
  static uint64_t lead_inputs(const FilterDesign& d);

  // Passes sized for calls that make `call_outputs` outputs: one pass covers such a call
  // where a transform of at most the long-call size can, so short calls (a file read's
  // 1600 frames) take one pass each; long calls get the long-call size, which wastes
  // least on the overlap.
  OverlapSave(const FilterDesign& d, uint64_t call_outputs);

  // Outputs a pass makes when sized for calls of `call_outputs` outputs.
  static uint64_t pass_outputs_for(const FilterDesign& d, uint64_t call_outputs);
  // Whether passes sized for calls of `call_outputs` outputs would be larger than these.
  bool outgrown_by(uint64_t call_outputs) const;
  // Inputs a pass consumes (2Q·M) and the outputs it makes (2Q·L).
  uint64_t pass_inputs() const { return 2 * steps_ * down_; }
  uint64_t pass_outputs() const { return 2 * steps_ * up_; }
  // Samples a pass reads, from M·(K − 1) before its first due input.
  uint64_t span_inputs() const { return nonzero_.size() - 1; }

  // Outputs L·q0 … L·q0 + count − 1 (count at most pass_outputs()) into out[0 … count),
  // given the span_inputs() samples from input M·(q0 − K + 1) on; samples under no
  // output's window may hold anything finite. Returns false, writing nothing, when a
  // sample's magnitude exceeds what keeps the transform within a float ulp of the direct
  // sum (or is not finite): the caller then takes the direct path. An output whose window
  // holds only zeros is exactly 0 (the samples under its nonzero coefficients are all 0).
  bool run(const double* samples, float* out, uint64_t count);

 private:
  bool within_range(const double* samples);
  void transform_inputs(const double* samples);
  void write_stream(uint64_t phase, float* out, uint64_t count) const;

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
