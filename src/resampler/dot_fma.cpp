// AVX2 + FMA kernels; this file alone is compiled for those extensions and is entered
// only after a run-time check.
#include "resampler/dot.hpp"

#if defined(__x86_64__) && defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>

namespace murello {
namespace {

// Four accumulators of four doubles: enough independent FMAs to cover their latency.
constexpr size_t kStride = 16;

double reduce(__m256d a, __m256d b, __m256d c, __m256d d) {
  const __m256d s = _mm256_add_pd(_mm256_add_pd(a, b), _mm256_add_pd(c, d));
  const __m128d h = _mm_add_pd(_mm256_castpd256_pd128(s), _mm256_extractf128_pd(s, 1));
  return _mm_cvtsd_f64(_mm_add_sd(h, _mm_unpackhi_pd(h, h)));
}

double fma_dot(const double* coefs, const double* samples, size_t n) {
  __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + kStride <= n; i += kStride) {
    a0 = _mm256_fmadd_pd(_mm256_loadu_pd(coefs + i), _mm256_loadu_pd(samples + i), a0);
    a1 = _mm256_fmadd_pd(_mm256_loadu_pd(coefs + i + 4), _mm256_loadu_pd(samples + i + 4), a1);
    a2 = _mm256_fmadd_pd(_mm256_loadu_pd(coefs + i + 8), _mm256_loadu_pd(samples + i + 8), a2);
    a3 = _mm256_fmadd_pd(_mm256_loadu_pd(coefs + i + 12), _mm256_loadu_pd(samples + i + 12), a3);
  }
  for (; i + 4 <= n; i += 4) {
    a0 = _mm256_fmadd_pd(_mm256_loadu_pd(coefs + i), _mm256_loadu_pd(samples + i), a0);
  }
  double tail = 0;
  for (; i < n; ++i) tail += coefs[i] * samples[i];
  return reduce(a0, a1, a2, a3) + tail;
}

// Rows rows[0..R) against one window: each sample vector is loaded once for all rows.
template <size_t R>
void fma_rows(const double* const* rows, const double* samples, size_t n, double* results) {
  __m256d a[R][2];
  for (size_t r = 0; r < R; ++r) a[r][0] = a[r][1] = _mm256_setzero_pd();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256d x0 = _mm256_loadu_pd(samples + i), x1 = _mm256_loadu_pd(samples + i + 4);
    for (size_t r = 0; r < R; ++r) {
      a[r][0] = _mm256_fmadd_pd(_mm256_loadu_pd(rows[r] + i), x0, a[r][0]);
      a[r][1] = _mm256_fmadd_pd(_mm256_loadu_pd(rows[r] + i + 4), x1, a[r][1]);
    }
  }
  for (size_t r = 0; r < R; ++r) {
    double tail = 0;
    for (size_t k = i; k < n; ++k) tail += rows[r][k] * samples[k];
    results[r] = reduce(a[r][0], a[r][1], _mm256_setzero_pd(), _mm256_setzero_pd()) + tail;
  }
}

void fma_multi_dot(const double* const* rows, size_t count, const double* samples, size_t n,
                   double* results) {
  switch (count) {
    case 2: return fma_rows<2>(rows, samples, n, results);
    case 3: return fma_rows<3>(rows, samples, n, results);
    default: return fma_rows<4>(rows, samples, n, results);
  }
}

// samples[i + l] + samples[n − 1 − i − l] in lane l.
__m256d fold(const double* samples, size_t n, size_t i) {
  const __m256d mirrored = _mm256_permute4x64_pd(_mm256_loadu_pd(samples + n - 4 - i), 0x1B);
  return _mm256_add_pd(_mm256_loadu_pd(samples + i), mirrored);
}

double fma_symmetric_dot(const double* coefs, const double* samples, size_t n) {
  const size_t half = n / 2;
  __m256d a0 = _mm256_setzero_pd(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + kStride <= half; i += kStride) {
    a0 = _mm256_fmadd_pd(_mm256_loadu_pd(coefs + i), fold(samples, n, i), a0);
    a1 = _mm256_fmadd_pd(_mm256_loadu_pd(coefs + i + 4), fold(samples, n, i + 4), a1);
    a2 = _mm256_fmadd_pd(_mm256_loadu_pd(coefs + i + 8), fold(samples, n, i + 8), a2);
    a3 = _mm256_fmadd_pd(_mm256_loadu_pd(coefs + i + 12), fold(samples, n, i + 12), a3);
  }
  for (; i + 4 <= half; i += 4) {
    a0 = _mm256_fmadd_pd(_mm256_loadu_pd(coefs + i), fold(samples, n, i), a0);
  }
  double tail = n % 2 ? coefs[half] * samples[half] : 0.0;
  for (; i < half; ++i) tail += coefs[i] * (samples[i] + samples[n - 1 - i]);
  return reduce(a0, a1, a2, a3) + tail;
}

__m256d blend(const double* lower, const double* upper, __m256d frac) {
  const __m256d lo = _mm256_loadu_pd(lower);
  return _mm256_fmadd_pd(frac, _mm256_sub_pd(_mm256_loadu_pd(upper), lo), lo);
}

double fma_blended_dot(const double* lower, const double* upper, double frac,
                       const double* samples, size_t n) {
  const __m256d f = _mm256_set1_pd(frac);
  __m256d a0 = _mm256_setzero_pd(), a1 = a0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    a0 = _mm256_fmadd_pd(blend(lower + i, upper + i, f), _mm256_loadu_pd(samples + i), a0);
    a1 = _mm256_fmadd_pd(blend(lower + i + 4, upper + i + 4, f),
                         _mm256_loadu_pd(samples + i + 4), a1);
  }
  for (; i + 4 <= n; i += 4) {
    a0 = _mm256_fmadd_pd(blend(lower + i, upper + i, f), _mm256_loadu_pd(samples + i), a0);
  }
  double tail = 0;
  for (; i < n; ++i) tail += (lower[i] + frac * (upper[i] - lower[i])) * samples[i];
  return reduce(a0, a1, _mm256_setzero_pd(), _mm256_setzero_pd()) + tail;
}

}  // namespace

DotKernels fma_dot_kernels() {
  return {fma_dot, fma_symmetric_dot, fma_multi_dot, fma_blended_dot};
}

bool fma_dot_supported() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

}  // namespace murello

#else

namespace murello {

DotKernels fma_dot_kernels() { return generic_dot_kernels(); }
bool fma_dot_supported() { return false; }

}  // namespace murello

#endif
