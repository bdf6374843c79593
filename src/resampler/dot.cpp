#include "resampler/dot.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "util/simd.hpp"

// Per-target versions of the kernels (below).
#ifdef MURELLO_VECTOR_VERSIONS
#include <immintrin.h>
#endif

namespace murello {
namespace {

// An output's sum runs in eight lanes, each adding its taps in ascending order: lane l
// takes the taps k = l mod 8 below the last multiple of eight, and the few taps past it
// go to the top lanes, tap T − 8 + l to lane l. The lanes are then summed in a fixed tree.
// Lanes<V> holds the eight in as many vectors V as it takes. All of it is inlined: the
// versions below are built for different targets, and a call between them that passes
// 64-byte vectors by value would not agree on where they go.
constexpr size_t kLanes = 8;

typedef double Quad __attribute__((vector_size(32)));
typedef double Octet __attribute__((vector_size(64)));

template <class V>
struct Lanes {
  static constexpr size_t kWidth = sizeof(V) / sizeof(double);
  static constexpr size_t kParts = kLanes / kWidth;
  V part[kParts];

  // Eight doubles from any address (each copy compiles to an unaligned vector load).
  [[gnu::always_inline]] static Lanes at(const double* p) {
    Lanes l;
    for (size_t i = 0; i < kParts; ++i) std::memcpy(&l.part[i], p + i * kWidth, sizeof(V));
    return l;
  }
  // The `count` (< 8) doubles before `end`, in the last lanes; zeros in the others.
  // Nothing else is read; `whole` says the eight doubles before `end` may be read.
  [[gnu::always_inline]] static Lanes last(const double* end, size_t count, bool whole) {
    if (!whole) {
      Lanes l = {};
      const double* first = end - count;
      for (size_t i = 0; i < count; ++i) {
        const size_t lane = kLanes - count + i;
        l.part[lane / kWidth][lane % kWidth] = first[i];
      }
      return l;
    }
    Lanes l = at(end - kLanes);
    for (size_t i = 0; i < kParts; ++i) {
      V lane;
      for (size_t j = 0; j < kWidth; ++j) lane[j] = double(i * kWidth + j + count);
      l.part[i] = lane >= double(kLanes) ? l.part[i] : V{};
    }
    return l;
  }
  [[gnu::always_inline]] void add_product(const Lanes& a, const Lanes& b) {
    for (size_t i = 0; i < kParts; ++i) part[i] += a.part[i] * b.part[i];
  }
  // a + f × (b − a) lane by lane, `step` holding b − a.
  [[gnu::always_inline]] static Lanes blend(const Lanes& a, double f, const Lanes& step) {
    Lanes l;
    for (size_t i = 0; i < kParts; ++i) l.part[i] = a.part[i] + f * step.part[i];
    return l;
  }
  [[gnu::always_inline]] Lanes operator-(const Lanes& other) const {
    Lanes l;
    for (size_t i = 0; i < kParts; ++i) l.part[i] = part[i] - other.part[i];
    return l;
  }
};

// The tree of two outputs at once, each sum ((l0 + l4) + (l1 + l5)) + ((l2 + l6) + (l3 + l7))
// over its lanes l, rounded to float.
template <class V>
[[gnu::always_inline]] inline void two_sums(const Lanes<V>& a, const Lanes<V>& b, float* sum) {
  typedef double Pair __attribute__((vector_size(16)));
  Quad ha, hb;  // lane l + 4 added to lane l
  if constexpr (Lanes<V>::kParts == 2) {
    ha = a.part[0] + a.part[1];
    hb = b.part[0] + b.part[1];
  } else {
    ha = __builtin_shufflevector(a.part[0], a.part[0], 0, 1, 2, 3) +
         __builtin_shufflevector(a.part[0], a.part[0], 4, 5, 6, 7);
    hb = __builtin_shufflevector(b.part[0], b.part[0], 0, 1, 2, 3) +
         __builtin_shufflevector(b.part[0], b.part[0], 4, 5, 6, 7);
  }
  const Quad halves = __builtin_shufflevector(ha, hb, 0, 4, 2, 6) +
                      __builtin_shufflevector(ha, hb, 1, 5, 3, 7);
  const Pair whole = __builtin_shufflevector(halves, halves, 0, 1) +
                     __builtin_shufflevector(halves, halves, 2, 3);
  sum[0] = float(whole[0]);
  sum[1] = float(whole[1]);
}

// The taps of the whole vectors, 0 to `vector_taps`, added into zeroed accumulators, each
// window read as it lies.
template <class V, size_t kGroup>
struct AsTheyLie {
  [[gnu::always_inline]] void operator()(const double* row, size_t vector_taps,
                                         const double* const* window, Lanes<V>* acc) const {
    for (size_t k = 0; k < vector_taps; k += kLanes) {
      const Lanes<V> c = Lanes<V>::at(row + k);
#pragma GCC unroll 8
      for (size_t r = 0; r < kGroup; ++r) acc[r].add_product(c, Lanes<V>::at(window[r] + k));
    }
  }
};

// Outputs that share a row are computed in one pass, each row vector loaded once for all
// of them; their accumulators also hide the latency of the multiply-adds. A short last
// group repeats its last window and drops the extra results, so every output goes
// through the same instructions. `Blocks` reads the whole vectors (AsTheyLie's contract).
template <class V, size_t kGroup, class Blocks>
[[gnu::always_inline]] inline void strided_passes(const double* row, size_t taps,
                                                  const double* first_window,
                                                  size_t window_stride, size_t count,
                                                  float* out, size_t out_stride, Blocks blocks) {
  const size_t vector_taps = taps - taps % kLanes;
  for (size_t first = 0; first < count; first += kGroup) {
    const size_t live = count - first < kGroup ? count - first : kGroup;
    const double* window[kGroup];
    for (size_t r = 0; r < kGroup; ++r) {
      window[r] = first_window + (first + (r < live ? r : live - 1)) * window_stride;
    }
    Lanes<V> acc[kGroup] = {};
    blocks(row, vector_taps, window, acc);
    if (const size_t rest = taps - vector_taps) {
      const bool whole = taps >= kLanes;
      const Lanes<V> c = Lanes<V>::last(row + taps, rest, whole);
#pragma GCC unroll 8
      for (size_t r = 0; r < kGroup; ++r) {
        acc[r].add_product(c, Lanes<V>::last(window[r] + taps, rest, whole));
      }
    }
    // Every sum, so the accumulators are only ever indexed by constants and stay in
    // registers; then the live ones are stored.
    float sum[kGroup];
#pragma GCC unroll 4
    for (size_t r = 0; r < kGroup; r += 2) two_sums(acc[r], acc[r + 1], sum + r);
    for (size_t r = 0; r < live; ++r) out[(first + r) * out_stride] = sum[r];
  }
}

// The same passes for the interpolated form: the outputs share a pair of rows, and each
// blends its own row from them at its fraction, one vector at a time.
template <class V, size_t kGroup>
[[gnu::always_inline]] inline void blended_passes(const double* lower, const double* upper,
                                                  size_t taps, const double* line,
                                                  const BlendJob* jobs, size_t count,
                                                  float* out) {
  const size_t vector_taps = taps - taps % kLanes;
  for (size_t first = 0; first < count; first += kGroup) {
    const size_t live = count - first < kGroup ? count - first : kGroup;
    const double* window[kGroup];
    double frac[kGroup];
    for (size_t r = 0; r < kGroup; ++r) {
      const BlendJob& job = jobs[first + (r < live ? r : live - 1)];
      window[r] = line + job.window;
      frac[r] = job.frac;
    }
    Lanes<V> acc[kGroup] = {};
    for (size_t k = 0; k < vector_taps; k += kLanes) {
      const Lanes<V> low = Lanes<V>::at(lower + k);
      const Lanes<V> step = Lanes<V>::at(upper + k) - low;
#pragma GCC unroll 8
      for (size_t r = 0; r < kGroup; ++r) {
        acc[r].add_product(Lanes<V>::blend(low, frac[r], step), Lanes<V>::at(window[r] + k));
      }
    }
    if (const size_t rest = taps - vector_taps) {
      const bool whole = taps >= kLanes;
      const Lanes<V> low = Lanes<V>::last(lower + taps, rest, whole);
      const Lanes<V> step = Lanes<V>::last(upper + taps, rest, whole) - low;
#pragma GCC unroll 8
      for (size_t r = 0; r < kGroup; ++r) {
        acc[r].add_product(Lanes<V>::blend(low, frac[r], step),
                           Lanes<V>::last(window[r] + taps, rest, whole));
      }
    }
    // As in strided_passes where an output's lanes take one register (AVX-512 has 32);
    // with two (AVX2 has 16) the blends leave too few registers for that, and keeping
    // every sum in one spills the loop's, so only the live ones are taken.
    if constexpr (Lanes<V>::kParts == 1) {
      float sum[kGroup];
#pragma GCC unroll 4
      for (size_t r = 0; r < kGroup; r += 2) two_sums(acc[r], acc[r + 1], sum + r);
      for (size_t r = 0; r < live; ++r) out[jobs[first + r].output] = sum[r];
    } else {
      for (size_t r = 0; r < live; r += 2) {
        float sum[2];
        two_sums(acc[r], acc[r + 1], sum);
        out[jobs[first + r].output] = sum[0];
        if (r + 1 < live) out[jobs[first + r + 1].output] = sum[1];
      }
    }
  }
}

// Per-target versions of the passes, picked when the program loads by GCC's function
// multiversioning, which unlike target_clones gives each version its own body. AVX-512
// holds an output's lanes in one register and has registers for eight outputs at a time;
// AVX2 and the baseline hold them as two 4-wide halves, four outputs at a time. Lanes map
// to taps alike in every version, so the versions that fuse the multiply-adds (all but
// the baseline) give identical results.
#ifdef MURELLO_VECTOR_VERSIONS

// Eight windows at the same offset within a 64-byte line, as for a stride of whole lines:
// a vector that crosses a line costs two loads, so the windows are read in whole lines
// and the row, shared by the eight, is read shifted by the offset instead. Lane l of block
// j then holds tap 8j − offset + l: each lane takes the taps of lane (l − offset) mod 8 in
// ascending order, and the lanes are turned back at the end, so the sums are AsTheyLie's
// to the bit. The masked loads of the first and last blocks read nothing outside.
struct WholeLines {
  __attribute__((target("arch=x86-64-v4"))) void operator()(
      const double* row, size_t vector_taps, const double* const* window,
      Lanes<Octet>* acc) const {
    const size_t offset = reinterpret_cast<uintptr_t>(window[0]) / sizeof(double) % kLanes;
    if (offset == 0 || vector_taps == 0) {
      return AsTheyLie<Octet, 8>()(row, vector_taps, window, acc);
    }
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i shift = _mm512_set1_epi64(int64_t(offset));
    // Block 0: taps 0 to 7 − offset, moved up into lanes offset to 7.
    const __mmask8 head = __mmask8(0xff << offset);
    const __m512i to_head = _mm512_sub_epi64(lane, shift);
    const __m512d zero = _mm512_setzero_pd();
    const __m512d c = _mm512_maskz_permutexvar_pd(head, to_head, _mm512_loadu_pd(row));
    __m512d sum[8];
    for (size_t r = 0; r < 8; ++r) {
      const __m512d x = _mm512_maskz_permutexvar_pd(head, to_head, _mm512_loadu_pd(window[r]));
      sum[r] = _mm512_fmadd_pd(c, x, zero);
    }
    const size_t last = (vector_taps + offset - 1) / kLanes;
    for (size_t j = 1; j < last; ++j) {
      const size_t k = kLanes * j - offset;
      const __m512d c = _mm512_loadu_pd(row + k);
#pragma GCC unroll 8
      for (size_t r = 0; r < 8; ++r) {
        sum[r] = _mm512_fmadd_pd(c, _mm512_load_pd(window[r] + k), sum[r]);
      }
    }
    // The last block: its lanes below vector_taps + offset − 8 × last.
    const size_t k = kLanes * last - offset;
    const __mmask8 foot = __mmask8((1u << (vector_taps - k)) - 1);
    const __m512d c_foot = _mm512_maskz_loadu_pd(foot, row + k);
    // (The masked permute: the plain one's undefined source trips a false uninitialized
    // warning in GCC 12's header.)
    const __m512i turn_back = _mm512_add_epi64(lane, shift);
    for (size_t r = 0; r < 8; ++r) {
      sum[r] = _mm512_fmadd_pd(c_foot, _mm512_maskz_load_pd(foot, window[r] + k), sum[r]);
      acc[r].part[0] = _mm512_maskz_permutexvar_pd(0xff, turn_back, sum[r]);
    }
  }
};

// Two rows against eight windows each, the second row's windows `shift` inputs after the
// first's, all eight a whole number of lines apart: each block of a line is loaded once
// for both rows. Lanes hold positions in the line, as in WholeLines, each row read
// shifted by its windows' offset; a lane outside a row's taps is left out by a masked
// multiply-add (not multiplied by zero, which would carry an infinity or NaN from beside
// the window into the sum), so every lane adds exactly its taps, in ascending order.
// Loads outside the windows are masked too.
struct PairedLines {
  __attribute__((target("arch=x86-64-v4"))) void operator()(
      const double* row_a, const double* row_b, size_t vector_taps,
      const double* const* window, size_t shift, Lanes<Octet>* acc_a,
      Lanes<Octet>* acc_b) const {
    const size_t offset_a = reinterpret_cast<uintptr_t>(window[0]) / sizeof(double) % kLanes;
    const size_t offset_b = offset_a + shift;  // may reach into the next line
    const double* line[8];
    for (size_t r = 0; r < 8; ++r) line[r] = window[r] - offset_a;
    __m512d sum_a[8], sum_b[8];
    for (size_t r = 0; r < 8; ++r) sum_a[r] = sum_b[r] = _mm512_setzero_pd();
    // Lanes l of block j with 0 <= 8j + l - offset < vector_taps.
    const auto lanes = [vector_taps](size_t j, size_t offset) -> __mmask8 {
      const int64_t low = int64_t(offset) - int64_t(kLanes * j);
      const int64_t high = int64_t(vector_taps + offset) - int64_t(kLanes * j);
      const int64_t from = std::max<int64_t>(low, 0), to = std::min<int64_t>(high, 8);
      return from >= to ? __mmask8(0) : __mmask8(((1u << to) - 1) & ~((1u << from) - 1));
    };
    // Blocks wholly inside both rows' taps: from the first where b's begin to the last
    // where a's end. The few around them are masked.
    const size_t first_whole = (offset_b + kLanes - 1) / kLanes;
    const size_t end_whole = std::max((vector_taps + offset_a) / kLanes, first_whole);
    const size_t end = (vector_taps + offset_b + kLanes - 1) / kLanes;
    for (size_t j = 0; j < end; ++j) {
      if (j >= first_whole && j < end_whole) {
        const __m512d c_a = _mm512_loadu_pd(row_a + kLanes * j - offset_a);
        const __m512d c_b = _mm512_loadu_pd(row_b + kLanes * j - offset_b);
#pragma GCC unroll 8
        for (size_t r = 0; r < 8; ++r) {
          const __m512d x = _mm512_load_pd(line[r] + kLanes * j);
          sum_a[r] = _mm512_fmadd_pd(c_a, x, sum_a[r]);
          sum_b[r] = _mm512_fmadd_pd(c_b, x, sum_b[r]);
        }
        continue;
      }
      const __mmask8 in_a = lanes(j, offset_a), in_b = lanes(j, offset_b);
      const __m512d c_a = _mm512_maskz_loadu_pd(in_a, row_a + kLanes * j - offset_a);
      const __m512d c_b = _mm512_maskz_loadu_pd(in_b, row_b + kLanes * j - offset_b);
      for (size_t r = 0; r < 8; ++r) {
        const __m512d x = _mm512_maskz_load_pd(in_a | in_b, line[r] + kLanes * j);
        sum_a[r] = _mm512_mask3_fmadd_pd(c_a, x, sum_a[r], in_a);
        sum_b[r] = _mm512_mask3_fmadd_pd(c_b, x, sum_b[r], in_b);
      }
    }
    const __m512i lane = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    const __m512i back_a = _mm512_add_epi64(lane, _mm512_set1_epi64(int64_t(offset_a)));
    const __m512i back_b = _mm512_add_epi64(lane, _mm512_set1_epi64(int64_t(offset_b)));
    for (size_t r = 0; r < 8; ++r) {
      acc_a[r].part[0] = _mm512_maskz_permutexvar_pd(0xff, back_a, sum_a[r]);
      acc_b[r].part[0] = _mm512_maskz_permutexvar_pd(0xff, back_b, sum_b[r]);
    }
  }
};

// The taps past the last whole vector of each of eight outputs, added as strided_passes
// adds them, then the sums.
template <class V>
[[gnu::always_inline]] inline void finish_eight(const double* row, size_t taps,
                                                const double* const* window, Lanes<V>* acc,
                                                float* out, size_t out_stride) {
  if (const size_t rest = taps % kLanes) {
    const bool whole = taps >= kLanes;
    const Lanes<V> c = Lanes<V>::last(row + taps, rest, whole);
#pragma GCC unroll 8
    for (size_t r = 0; r < 8; ++r) acc[r].add_product(c, Lanes<V>::last(window[r] + taps, rest, whole));
  }
  float sum[8];
#pragma GCC unroll 4
  for (size_t r = 0; r < 8; r += 2) two_sums(acc[r], acc[r + 1], sum + r);
  for (size_t r = 0; r < 8; ++r) out[r * out_stride] = sum[r];
}

// A last group of four or fewer outputs takes a four-output pass (the same sums: lanes map
// to taps alike), so that short sequences, such as a file read's calls give each row, do
// not pay for eight.
__attribute__((target("arch=x86-64-v4"))) void strided_versions(
    const double* row, size_t taps, const double* first_window, size_t window_stride,
    size_t count, float* out, size_t out_stride) {
  const size_t tail = count % 8 <= 4 ? count % 8 : 0;
  const size_t head = count - tail;
  if (window_stride % kLanes == 0) {
    strided_passes<Octet, 8>(row, taps, first_window, window_stride, head, out, out_stride,
                             WholeLines());
  } else {
    strided_passes<Octet, 8>(row, taps, first_window, window_stride, head, out, out_stride,
                             AsTheyLie<Octet, 8>());
  }
  if (tail > 0) {
    strided_passes<Octet, 4>(row, taps, first_window + head * window_stride, window_stride,
                             tail, out + head * out_stride, out_stride, AsTheyLie<Octet, 4>());
  }
}
__attribute__((target("arch=x86-64-v3"))) void strided_versions(
    const double* row, size_t taps, const double* first_window, size_t window_stride,
    size_t count, float* out, size_t out_stride) {
  strided_passes<Quad, 4>(row, taps, first_window, window_stride, count, out, out_stride,
                          AsTheyLie<Quad, 4>());
}
__attribute__((target("default"))) void strided_versions(
    const double* row, size_t taps, const double* first_window, size_t window_stride,
    size_t count, float* out, size_t out_stride) {
  strided_passes<Quad, 4>(row, taps, first_window, window_stride, count, out, out_stride,
                          AsTheyLie<Quad, 4>());
}

__attribute__((target("arch=x86-64-v4"))) void paired_versions(
    const double* row_a, const double* row_b, size_t taps, const double* first_window,
    size_t shift, size_t window_stride, size_t count, float* out_a, float* out_b,
    size_t out_stride) {
  size_t first = 0;
  if (window_stride % kLanes == 0 && shift <= kLanes && taps >= kLanes) {
    const size_t vector_taps = taps - taps % kLanes;
    for (; first + 8 <= count; first += 8) {
      const double* window_a[8];
      const double* window_b[8];
      for (size_t r = 0; r < 8; ++r) {
        window_a[r] = first_window + (first + r) * window_stride;
        window_b[r] = window_a[r] + shift;
      }
      Lanes<Octet> acc_a[8], acc_b[8];
      PairedLines()(row_a, row_b, vector_taps, window_a, shift, acc_a, acc_b);
      finish_eight(row_a, taps, window_a, acc_a, out_a + first * out_stride, out_stride);
      finish_eight(row_b, taps, window_b, acc_b, out_b + first * out_stride, out_stride);
    }
  }
  if (first < count) {
    const double* window = first_window + first * window_stride;
    strided_versions(row_a, taps, window, window_stride, count - first,
                     out_a + first * out_stride, out_stride);
    strided_versions(row_b, taps, window + shift, window_stride, count - first,
                     out_b + first * out_stride, out_stride);
  }
}
__attribute__((target("arch=x86-64-v3"))) void paired_versions(
    const double* row_a, const double* row_b, size_t taps, const double* first_window,
    size_t shift, size_t window_stride, size_t count, float* out_a, float* out_b,
    size_t out_stride) {
  strided_versions(row_a, taps, first_window, window_stride, count, out_a, out_stride);
  strided_versions(row_b, taps, first_window + shift, window_stride, count, out_b, out_stride);
}
__attribute__((target("default"))) void paired_versions(
    const double* row_a, const double* row_b, size_t taps, const double* first_window,
    size_t shift, size_t window_stride, size_t count, float* out_a, float* out_b,
    size_t out_stride) {
  strided_versions(row_a, taps, first_window, window_stride, count, out_a, out_stride);
  strided_versions(row_b, taps, first_window + shift, window_stride, count, out_b, out_stride);
}

__attribute__((target("arch=x86-64-v4"))) void blended_versions(
    const double* lower, const double* upper, size_t taps, const double* line,
    const BlendJob* jobs, size_t count, float* out) {
  blended_passes<Octet, 4>(lower, upper, taps, line, jobs, count, out);
}
__attribute__((target("arch=x86-64-v3"))) void blended_versions(
    const double* lower, const double* upper, size_t taps, const double* line,
    const BlendJob* jobs, size_t count, float* out) {
  blended_passes<Quad, 4>(lower, upper, taps, line, jobs, count, out);
}
__attribute__((target("default"))) void blended_versions(
    const double* lower, const double* upper, size_t taps, const double* line,
    const BlendJob* jobs, size_t count, float* out) {
  blended_passes<Quad, 4>(lower, upper, taps, line, jobs, count, out);
}

#else

void strided_versions(const double* row, size_t taps, const double* first_window,
                      size_t window_stride, size_t count, float* out, size_t out_stride) {
  strided_passes<Quad, 4>(row, taps, first_window, window_stride, count, out, out_stride,
                          AsTheyLie<Quad, 4>());
}
void blended_versions(const double* lower, const double* upper, size_t taps,
                      const double* line, const BlendJob* jobs, size_t count, float* out) {
  blended_passes<Quad, 4>(lower, upper, taps, line, jobs, count, out);
}
void paired_versions(const double* row_a, const double* row_b, size_t taps,
                     const double* first_window, size_t shift, size_t window_stride,
                     size_t count, float* out_a, float* out_b, size_t out_stride) {
  strided_versions(row_a, taps, first_window, window_stride, count, out_a, out_stride);
  strided_versions(row_b, taps, first_window + shift, window_stride, count, out_b, out_stride);
}

#endif

}  // namespace

// Calls from other files would reach only the baseline version of a multiversioned
// function; these see every version.
void strided_dots(const double* row, size_t taps, const double* first_window,
                  size_t window_stride, size_t count, float* out, size_t out_stride) {
  strided_versions(row, taps, first_window, window_stride, count, out, out_stride);
}

void paired_strided_dots(const double* row_a, const double* row_b, size_t taps,
                         const double* first_window, size_t shift, size_t window_stride,
                         size_t count, float* out_a, float* out_b, size_t out_stride) {
  paired_versions(row_a, row_b, taps, first_window, shift, window_stride, count, out_a, out_b,
                  out_stride);
}

void blended_dots(const double* lower, const double* upper, size_t taps, const double* line,
                  const BlendJob* jobs, size_t count, float* out) {
  blended_versions(lower, upper, taps, line, jobs, count, out);
}

}  // namespace murello
