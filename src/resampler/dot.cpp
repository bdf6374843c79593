#include "resampler/dot.hpp"

#include "util/simd.hpp"

namespace murello {
namespace {

// Four doubles: the width every vector clone handles natively. Two of them make an
// output's eight lanes.
typedef double Quad __attribute__((vector_size(32)));
constexpr size_t kLanes = 8;

// Four doubles from any address: the packed wrapper makes every compiler load them with
// unaligned moves.
struct __attribute__((packed, may_alias)) QuadAt {
  Quad v;
};
const QuadAt& at(const double* p) { return *reinterpret_cast<const QuadAt*>(p); }

// The lanes in a fixed tree: lane l of `low` pairs with lane l of `high`.
double sum_lanes(const Quad& low, const Quad& high) {
  return ((low[0] + high[0]) + (low[1] + high[1])) + ((low[2] + high[2]) + (low[3] + high[3]));
}

// Four outputs per pass: their accumulators hide the latency of the multiply-adds, and
// each row vector is loaded once for all of them.
constexpr size_t kGroup = kDotGroup;

}  // namespace

// A short last group repeats its last window and drops the extra results, so every
// output goes through the same instructions.
MURELLO_VECTOR_CLONES void strided_dots(const double* row, size_t taps,
                                        const double* first_window, size_t window_stride,
                                        size_t count, float* out, size_t out_stride) {
  const size_t vector_taps = taps - taps % kLanes;
  for (size_t first = 0; first < count; first += kGroup) {
    const size_t live = count - first < kGroup ? count - first : kGroup;
    const double* window[kGroup];
    for (size_t r = 0; r < kGroup; ++r) {
      window[r] = first_window + (first + (r < live ? r : live - 1)) * window_stride;
    }
    Quad low[kGroup] = {}, high[kGroup] = {};
    for (size_t k = 0; k < vector_taps; k += kLanes) {
      const Quad c_low = at(row + k).v, c_high = at(row + k + 4).v;
#pragma GCC unroll 4
      for (size_t r = 0; r < kGroup; ++r) {
        low[r] += c_low * at(window[r] + k).v;
        high[r] += c_high * at(window[r] + k + 4).v;
      }
    }
    for (size_t r = 0; r < live; ++r) {
      double sum = sum_lanes(low[r], high[r]);
      for (size_t k = vector_taps; k < taps; ++k) sum += row[k] * window[r][k];
      out[(first + r) * out_stride] = static_cast<float>(sum);
    }
  }
}

MURELLO_VECTOR_CLONES void blended_dots(const double* lower, const double* upper, size_t taps,
                                        const double* line, const BlendJob* jobs, size_t count,
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
    Quad low[kGroup] = {}, high[kGroup] = {};
    for (size_t k = 0; k < vector_taps; k += kLanes) {
      const Quad lo_low = at(lower + k).v, lo_high = at(lower + k + 4).v;
      const Quad step_low = at(upper + k).v - lo_low, step_high = at(upper + k + 4).v - lo_high;
#pragma GCC unroll 4
      for (size_t r = 0; r < kGroup; ++r) {
        low[r] += (lo_low + frac[r] * step_low) * at(window[r] + k).v;
        high[r] += (lo_high + frac[r] * step_high) * at(window[r] + k + 4).v;
      }
    }
    for (size_t r = 0; r < live; ++r) {
      double sum = sum_lanes(low[r], high[r]);
      for (size_t k = vector_taps; k < taps; ++k) {
        sum += (lower[k] + frac[r] * (upper[k] - lower[k])) * window[r][k];
      }
      out[jobs[first + r].output] = static_cast<float>(sum);
    }
  }
}

}  // namespace murello
