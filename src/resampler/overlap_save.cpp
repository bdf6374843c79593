#include "resampler/overlap_save.hpp"

#include <algorithm>
#include <cmath>

#include "util/simd.hpp"

namespace murello {
namespace {

// Each pass runs M forward and L inverse transforms and L·M spectrum products, and keeps
// L·M filter spectra; this bounds their memory (a megabyte at 1024 points). Long enough
// sub-filters already confine the path to L or M of at most 6, where it is 7 to 20 times
// faster than the direct form.
constexpr uint64_t kMaxPhaseProduct = 64;
// Shorter sub-filters are cheaper as dot products.
constexpr uint64_t kMinSubfilterTaps = 32;
// For long calls the transform spans at least four sub-filters: longer ones waste less on
// the overlap but no longer fit the first-level cache.
constexpr uint64_t kTransformPerTap = 4;
constexpr uint64_t kMinTransform = 1024;
constexpr uint64_t kMaxTransform = 16384;
// The transform's rounding grows with the largest sample of a pass. Audio lies within
// ±1; up to this magnitude every output stays well inside a float ulp (or 1e-9) of the
// direct sum, and beyond it, or at a non-finite sample, the pass goes the direct way.
constexpr double kPeakLimit = 64.0;

// How many samples are outside ±kPeakLimit (or not numbers) and how many are 0, in one
// vectorised scan.
MURELLO_VECTOR_CLONES uint64_t count_outside(const double* samples, uint64_t count,
                                             uint64_t& zeros) {
  uint64_t outside = 0, zero = 0;
  for (uint64_t n = 0; n < count; ++n) {
    // A NaN fails the comparison too.
    outside += !(std::abs(samples[n]) <= kPeakLimit);
    zero += samples[n] == 0;
  }
  zeros = zero;
  return outside;
}

uint64_t subfilter_taps(const FilterDesign& d) { return (d.taps + d.down - 2) / d.down + 1; }

uint64_t power_of_two_from(uint64_t at_least) {
  uint64_t size = 1;
  while (size < at_least) size *= 2;
  return size;
}

// The transform for long calls: spans kTransformPerTap sub-filters.
uint64_t long_transform(uint64_t subfilter_taps) {
  return std::clamp(power_of_two_from(kTransformPerTap * subfilter_taps), kMinTransform,
                    kMaxTransform);
}

// The smallest transform whose pass covers a call of `call_outputs` outputs (2Q base
// steps, Q = P − K + 1), at least twice the sub-filter so half of it makes outputs, and
// at most the long-call transform.
uint64_t transform_for(uint64_t subfilter_taps, uint64_t up, uint64_t call_outputs) {
  const uint64_t steps = (call_outputs + up - 1) / up;
  const uint64_t wanted = std::max(2 * subfilter_taps, subfilter_taps - 1 + (steps + 1) / 2);
  return std::min(power_of_two_from(wanted), long_transform(subfilter_taps));
}

}  // namespace

bool OverlapSave::suits(const FilterDesign& d) {
  return d.form == ResamplerForm::Rational && d.up * d.down <= kMaxPhaseProduct &&
         subfilter_taps(d) >= kMinSubfilterTaps &&
         4 * subfilter_taps(d) <= long_transform(subfilter_taps(d));
}

uint64_t OverlapSave::lead_inputs(const FilterDesign& d) {
  return d.down * (subfilter_taps(d) - 1);
}

uint64_t OverlapSave::pass_outputs_for(const FilterDesign& d, uint64_t call_outputs) {
  const uint64_t size = transform_for(subfilter_taps(d), d.up, call_outputs);
  return 2 * (size - subfilter_taps(d) + 1) * d.up;
}

bool OverlapSave::outgrown_by(uint64_t call_outputs) const {
  return transform_for(subfilter_taps_, up_, call_outputs) > plan_.size();
}

OverlapSave::OverlapSave(const FilterDesign& d, uint64_t call_outputs)
    : up_(d.up),
      down_(d.down),
      taps_(d.taps),
      subfilter_taps_(subfilter_taps(d)),
      steps_(0),
      plan_(transform_for(subfilter_taps_, up_, call_outputs)) {
  steps_ = plan_.size() - subfilter_taps_ + 1;
  const uint64_t size = plan_.size();
  filter_re_.assign(up_ * down_ * size, 0.0);
  filter_im_.assign(up_ * down_ * size, 0.0);
  input_re_.resize(down_ * size);
  input_im_.resize(down_ * size);
  sum_re_.resize(size);
  sum_im_.resize(size);
  nonzero_.resize(down_ * (2 * steps_ + subfilter_taps_ - 1) + 1);
  // 1/P is a power of two, so folding the inverse's scale in rounds nothing.
  const double scale = 1.0 / double(size);
  nearest_tap_.assign(up_, taps_);
  farthest_tap_.assign(up_, 0);
  for (uint64_t a = 0; a < up_; ++a) {
    const uint64_t phase = a * down_ % up_;
    for (uint64_t k = 0; k < taps_; ++k) {
      if (d.coefficient(phase, k) == 0) continue;
      nearest_tap_[a] = std::min(nearest_tap_[a], k);
      farthest_tap_[a] = k;
    }
    const int64_t offset = int64_t(a * down_ / up_);
    for (uint64_t b = 0; b < down_; ++b) {
      double* re = filter_re_.data() + (a * down_ + b) * size;
      for (uint64_t u = 0; u < subfilter_taps_; ++u) {
        const int64_t k = int64_t(down_ * u) + offset - int64_t(b);
        if (k >= 0 && uint64_t(k) < taps_) re[u] = d.coefficient(phase, uint64_t(k)) * scale;
      }
      plan_.forward(re, filter_im_.data() + (a * down_ + b) * size);
    }
  }
}

bool OverlapSave::run(const double* samples, float* out, uint64_t count) {
  if (!within_range(samples)) return false;
  transform_inputs(samples);
  const uint64_t size = plan_.size();
  for (uint64_t a = 0; a < up_; ++a) {
    std::fill(sum_re_.begin(), sum_re_.end(), 0.0);
    std::fill(sum_im_.begin(), sum_im_.end(), 0.0);
    for (uint64_t b = 0; b < down_; ++b) {
      const uint64_t filter = (a * down_ + b) * size;
      multiply_accumulate(input_re_.data() + b * size, input_im_.data() + b * size,
                          filter_re_.data() + filter, filter_im_.data() + filter, size,
                          sum_re_.data(), sum_im_.data());
    }
    plan_.inverse(sum_re_.data(), sum_im_.data());
    write_stream(a, out, count);
  }
  return true;
}

// Checks the peak; counts the nonzero samples for the silent windows only when the
// pass holds a zero at all.
bool OverlapSave::within_range(const double* samples) {
  const uint64_t count = nonzero_.size() - 1;
  uint64_t zeros = 0;
  if (count_outside(samples, count, zeros) > 0) return false;
  has_zeros_ = zeros > 0;
  if (!has_zeros_) return true;
  uint32_t nonzero = 0;
  for (uint64_t n = 0; n < count; ++n) {
    nonzero += samples[n] != 0;
    nonzero_[n + 1] = nonzero;
  }
  return true;
}

// Residue b of the input, base steps from q0 − K + 1 in the real parts and from
// q0 + Q − K + 1 in the imaginary parts.
void OverlapSave::transform_inputs(const double* samples) {
  const uint64_t size = plan_.size();
  for (uint64_t b = 0; b < down_; ++b) {
    double* re = input_re_.data() + b * size;
    double* im = input_im_.data() + b * size;
    const double* first = samples + b;
    const double* second = samples + steps_ * down_ + b;
    for (uint64_t t = 0; t < size; ++t) {
      re[t] = first[t * down_];
      im[t] = second[t * down_];
    }
    plan_.forward(re, im);
  }
}

// Stream a's outputs of the pass, each put at its place among the L interleaved streams.
void OverlapSave::write_stream(uint64_t phase, float* out, uint64_t count) const {
  const uint64_t first_due = down_ * (subfilter_taps_ - 1) + phase * down_ / up_;
  for (uint64_t q = 0; q * up_ + phase < count; ++q) {
    const uint64_t due = first_due + q * down_;
    const bool silent = has_zeros_ && nonzero_[due + 1 - nearest_tap_[phase]] ==
                                          nonzero_[due - farthest_tap_[phase]];
    const double y = q < steps_ ? sum_re_[subfilter_taps_ - 1 + q]
                                : sum_im_[subfilter_taps_ - 1 + q - steps_];
    out[q * up_ + phase] = silent ? 0.0f : static_cast<float>(y);
  }
}

}  // namespace murello
