// Dot products of the resampler's hot loop.
//
// Conventions: `n` counts doubles; `coefs` and `samples` are contiguous and may be
// unaligned. Results are sums of the products in an order chosen for speed, so they may
// differ from the ascending-order sum in the last bits of the double.
#pragma once

#include <cstddef>

namespace murello {

// Σ coefs[i] × samples[i].
using DotFn = double (*)(const double* coefs, const double* samples, size_t n);
// Σ coefs[i] × samples[i] for a palindromic `coefs` (coefs[i] == coefs[n − 1 − i]):
// mirrored samples are added first, halving the multiplications.
using SymmetricDotFn = DotFn;
// results[r] = Σ rows[r][i] × samples[i] for r < count, 2 ≤ count ≤ kMaxRowGroup: one
// pass over the samples serves every row.
inline constexpr size_t kMaxRowGroup = 4;
using MultiDotFn = void (*)(const double* const* rows, size_t count, const double* samples,
                            size_t n, double* results);
// Σ (lower[i] + frac × (upper[i] − lower[i])) × samples[i].
using BlendedDotFn = double (*)(const double* lower, const double* upper, double frac,
                                const double* samples, size_t n);

struct DotKernels {
  DotFn dot;
  SymmetricDotFn symmetric_dot;
  MultiDotFn multi_dot;
  BlendedDotFn blended_dot;
};

// Portable kernels with several accumulators; the compiler vectorises them.
DotKernels generic_dot_kernels();
// AVX2 + FMA kernels. Call only where fma_dot_supported() is true.
DotKernels fma_dot_kernels();
bool fma_dot_supported();
// The fastest kernels this processor runs.
DotKernels best_dot_kernels();

}  // namespace murello
