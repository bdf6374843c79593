// Blocked dot products of the resampler's direct form: several outputs per pass, sharing
// the loads of the row they have in common.
//
// Conventions: `taps` counts doubles per row and per window; rows and windows are
// contiguous and may be unaligned; a window is read from its oldest sample forward. Each
// output's sum is formed in the same order whichever group it is computed in (eight
// lanes, then the lanes in a fixed tree), so how the outputs are grouped never changes a
// result; the versions for AVX2 and AVX-512 agree bit for bit too. The order differs from
// the ascending sum only in the last bits of the double.
#pragma once

#include <cstddef>
#include <cstdint>

namespace murello {

// Outputs handed over per call by callers that tile their work: the widest version
// computes this many per pass over a shared row.
inline constexpr size_t kDotGroup = 8;

// out[t × out_stride] = Σ_k row[k] × window_t[k] for t < count, with
// window_t = first_window + t × window_stride, each rounded to float.
void strided_dots(const double* row, size_t taps, const double* first_window,
                  size_t window_stride, size_t count, float* out, size_t out_stride);

// Two strided_dots at once: row_a against the windows from first_window, and row_b
// against the same windows moved on by `shift` inputs, into out_a and out_b. The same
// sums bit for bit; where the windows are a whole number of 64-byte lines apart and
// shift is at most 8, the widest version loads each window block once for both rows.
void paired_strided_dots(const double* row_a, const double* row_b, size_t taps,
                         const double* first_window, size_t shift, size_t window_stride,
                         size_t count, float* out_a, float* out_b, size_t out_stride);

// One output of the interpolated form: its window's offset in the sample line, its
// blend fraction and its index in the output.
struct BlendJob {
  uint32_t window;
  uint32_t output;
  double frac;
};

// out[job.output] = Σ_k (lower[k] + job.frac × (upper[k] − lower[k])) × line[job.window + k]
// for each of the `count` jobs, rounded to float.
void blended_dots(const double* lower, const double* upper, size_t taps, const double* line,
                  const BlendJob* jobs, size_t count, float* out);

}  // namespace murello
