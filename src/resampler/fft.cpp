#include "resampler/fft.hpp"

#include <cmath>

#include "util/simd.hpp"

namespace murello {

FftPlan::FftPlan(size_t size) : size_(size), twiddle_re_(size), twiddle_im_(size) {
  for (size_t half = 1; half < size; half *= 2) {
    for (size_t j = 0; j < half; ++j) {
      const double angle = -2 * M_PI * double(j) / double(2 * half);
      twiddle_re_[half - 1 + j] = std::cos(angle);
      twiddle_im_[half - 1 + j] = std::sin(angle);
    }
  }
}

namespace {

// Four doubles: the width every vector clone handles natively.
typedef double Quad __attribute__((vector_size(32)));
constexpr size_t kQuad = 4;

// Four doubles at any address: the packed wrapper makes every compiler move them with
// unaligned loads and stores.
struct __attribute__((packed, may_alias)) QuadAt {
  Quad v;
};
QuadAt& quad(double* p) { return *reinterpret_cast<QuadAt*>(p); }
const QuadAt& quad(const double* p) { return *reinterpret_cast<const QuadAt*>(p); }

// The wide stages run in sweeps over the data, two stages per sweep (spans 2h and h,
// four points per butterfly), which halves the memory traffic; the last few narrow
// stages, too short for vectors, run one at a time.
struct Sweep {
  double* re;
  double* im;
  size_t size;
  const double* tw_re;  // the run of stage `half` starts at half − 1
  const double* tw_im;
};

// Two stages in one sweep, h / 2 a multiple of four. Forward (decimation in frequency,
// spans 2h then h): (a, b) -> (a + b, (a − b)·w). Inverse (decimation in time with
// conjugate twiddles, spans h then 2h): (a, b) -> (a + b·w̄, a − b·w̄).
MURELLO_VECTOR_CLONES void radix4_pass(const Sweep& s, size_t h, bool inverse) {
  const size_t q = h / 2;
  const double* w1r = s.tw_re + h - 1;
  const double* w1i = s.tw_im + h - 1;
  const double* w2r = s.tw_re + q - 1;
  const double* w2i = s.tw_im + q - 1;
  for (size_t group = 0; group < s.size; group += 2 * h) {
    double* r = s.re + group;
    double* i = s.im + group;
    for (size_t j = 0; j < q; j += kQuad) {
      const Quad x0r = quad(r + j).v, x0i = quad(i + j).v;
      const Quad x1r = quad(r + j + q).v, x1i = quad(i + j + q).v;
      const Quad x2r = quad(r + j + h).v, x2i = quad(i + j + h).v;
      const Quad x3r = quad(r + j + h + q).v, x3i = quad(i + j + h + q).v;
      const Quad a1r = quad(w1r + j).v, a1i = quad(w1i + j).v;
      const Quad b1r = quad(w1r + j + q).v, b1i = quad(w1i + j + q).v;
      const Quad a2r = quad(w2r + j).v, a2i = quad(w2i + j).v;
      // o0 … o3 go back to the places of x0 … x3.
      Quad o0r, o0i, o1r, o1i, o2r, o2i, o3r, o3i;
      if (!inverse) {
        const Quad y0r = x0r + x2r, y0i = x0i + x2i, y1r = x1r + x3r, y1i = x1i + x3i;
        const Quad d2r = x0r - x2r, d2i = x0i - x2i, d3r = x1r - x3r, d3i = x1i - x3i;
        const Quad y2r = d2r * a1r - d2i * a1i, y2i = d2r * a1i + d2i * a1r;
        const Quad y3r = d3r * b1r - d3i * b1i, y3i = d3r * b1i + d3i * b1r;
        const Quad e1r = y0r - y1r, e1i = y0i - y1i, e3r = y2r - y3r, e3i = y2i - y3i;
        o0r = y0r + y1r, o0i = y0i + y1i;
        o1r = e1r * a2r - e1i * a2i, o1i = e1r * a2i + e1i * a2r;
        o2r = y2r + y3r, o2i = y2i + y3i;
        o3r = e3r * a2r - e3i * a2i, o3i = e3r * a2i + e3i * a2r;
      } else {
        const Quad tr = x1r * a2r + x1i * a2i, ti = x1i * a2r - x1r * a2i;
        const Quad ur = x3r * a2r + x3i * a2i, ui = x3i * a2r - x3r * a2i;
        const Quad y0r = x0r + tr, y0i = x0i + ti, y1r = x0r - tr, y1i = x0i - ti;
        const Quad y2r = x2r + ur, y2i = x2i + ui, y3r = x2r - ur, y3i = x2i - ui;
        const Quad vr = y2r * a1r + y2i * a1i, vi = y2i * a1r - y2r * a1i;
        const Quad zr = y3r * b1r + y3i * b1i, zi = y3i * b1r - y3r * b1i;
        o0r = y0r + vr, o0i = y0i + vi, o2r = y0r - vr, o2i = y0i - vi;
        o1r = y1r + zr, o1i = y1i + zi, o3r = y1r - zr, o3i = y1i - zi;
      }
      quad(r + j).v = o0r, quad(i + j).v = o0i;
      quad(r + j + q).v = o1r, quad(i + j + q).v = o1i;
      quad(r + j + h).v = o2r, quad(i + j + h).v = o2i;
      quad(r + j + h + q).v = o3r, quad(i + j + h + q).v = o3i;
    }
  }
}

// Rows of four doubles in, columns out (the 4 × 4 transpose is its own inverse).
void transpose(Quad& a, Quad& b, Quad& c, Quad& d) {
  const Quad t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6);
  const Quad t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
  const Quad t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6);
  const Quad t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
  a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// The two narrowest stages (spans 4 and 2, twiddles 1 and −i) on four groups of four
// points at a time, transposed so each vector holds the same point of four groups.
// The forward pass and the inverse differ only in the sign of i.
MURELLO_VECTOR_CLONES void radix4_last(const Sweep& s, bool inverse) {
  for (size_t g = 0; g < s.size; g += 4 * kQuad) {
    Quad r0 = quad(s.re + g).v, r1 = quad(s.re + g + 4).v, r2 = quad(s.re + g + 8).v,
         r3 = quad(s.re + g + 12).v;
    Quad i0 = quad(s.im + g).v, i1 = quad(s.im + g + 4).v, i2 = quad(s.im + g + 8).v,
         i3 = quad(s.im + g + 12).v;
    transpose(r0, r1, r2, r3);
    transpose(i0, i1, i2, i3);
    if (!inverse) {
      // Forward: y3 = (x1 − x3)·(−i), then sums and differences.
      const Quad y0r = r0 + r2, y0i = i0 + i2, y1r = r1 + r3, y1i = i1 + i3;
      const Quad y2r = r0 - r2, y2i = i0 - i2, y3r = i1 - i3, y3i = r3 - r1;
      r0 = y0r + y1r, i0 = y0i + y1i, r1 = y0r - y1r, i1 = y0i - y1i;
      r2 = y2r + y3r, i2 = y2i + y3i, r3 = y2r - y3r, i3 = y2i - y3i;
    } else {
      // Inverse: span 2 first, then span 4 with x3·i.
      const Quad y0r = r0 + r1, y0i = i0 + i1, y1r = r0 - r1, y1i = i0 - i1;
      const Quad y2r = r2 + r3, y2i = i2 + i3, y3r = i3 - i2, y3i = r2 - r3;
      r0 = y0r + y2r, i0 = y0i + y2i, r2 = y0r - y2r, i2 = y0i - y2i;
      r1 = y1r + y3r, i1 = y1i + y3i, r3 = y1r - y3r, i3 = y1i - y3i;
    }
    transpose(r0, r1, r2, r3);
    transpose(i0, i1, i2, i3);
    quad(s.re + g).v = r0, quad(s.re + g + 4).v = r1;
    quad(s.re + g + 8).v = r2, quad(s.re + g + 12).v = r3;
    quad(s.im + g).v = i0, quad(s.im + g + 4).v = i1;
    quad(s.im + g + 8).v = i2, quad(s.im + g + 12).v = i3;
  }
}

// One narrow stage of span 2h, in the direction radix4_pass describes.
void radix2_pass(const Sweep& s, size_t h, bool inverse) {
  for (size_t group = 0; group < s.size; group += 2 * h) {
    for (size_t j = 0; j < h; ++j) {
      const size_t a = group + j, b = a + h;
      const double wr = s.tw_re[h - 1 + j], wi = s.tw_im[h - 1 + j];
      if (!inverse) {
        const double dr = s.re[a] - s.re[b], di = s.im[a] - s.im[b];
        s.re[a] += s.re[b], s.im[a] += s.im[b];
        s.re[b] = dr * wr - di * wi, s.im[b] = dr * wi + di * wr;
      } else {
        const double tr = s.re[b] * wr + s.im[b] * wi, ti = s.im[b] * wr - s.re[b] * wi;
        s.re[b] = s.re[a] - tr, s.im[b] = s.im[a] - ti;
        s.re[a] += tr, s.im[a] += ti;
      }
    }
  }
}

}  // namespace

void FftPlan::forward(double* re, double* im) const {
  const Sweep s{re, im, size_, twiddle_re_.data(), twiddle_im_.data()};
  size_t h = size_ / 2;
  for (; h / 2 >= kQuad; h /= 4) radix4_pass(s, h, false);
  if (h == 4) radix2_pass(s, h, false), h = 2;
  if (h == 2 && size_ >= 4 * kQuad) return radix4_last(s, false);
  for (; h >= 1; h /= 2) radix2_pass(s, h, false);
}

void FftPlan::inverse(double* re, double* im) const {
  const Sweep s{re, im, size_, twiddle_re_.data(), twiddle_im_.data()};
  size_t half = 1;
  if (size_ >= 4 * kQuad) radix4_last(s, true), half = 4;
  for (; half < size_ && half < kQuad; half *= 2) radix2_pass(s, half, true);
  for (; 2 * half < size_; half *= 4) radix4_pass(s, 2 * half, true);
  if (half < size_) radix2_pass(s, half, true);
}

MURELLO_VECTOR_CLONES void multiply_accumulate(const double* __restrict a_re,
                                               const double* __restrict a_im,
                                               const double* __restrict b_re,
                                               const double* __restrict b_im, size_t count,
                                               double* __restrict acc_re,
                                               double* __restrict acc_im) {
  for (size_t j = 0; j < count; ++j) {
    acc_re[j] += a_re[j] * b_re[j] - a_im[j] * b_im[j];
    acc_im[j] += a_re[j] * b_im[j] + a_im[j] * b_re[j];
  }
}

}  // namespace murello
