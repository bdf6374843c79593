#include "audiofile/flac_encoder/lpc.hpp"

#include "audiofile/flac_encoder/fold.hpp"
#include "util/simd.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <type_traits>
#include <utility>

namespace murello {
namespace {

// cos(x) for x in [0, pi] by its Taylor series through the x^20 term (Horner in x^2).
double taylor_cos(double x) {
  double x2 = x * x;
  double term = 1.0;
  for (int n = 10; n >= 1; --n) term = 1.0 - term * x2 / double((2 * n) * (2 * n - 1));
  return term;
}

// Sixteen independent partial sums per lag: enough vector registers in flight to hide the
// latency of the additions. The summation order is fixed here, not by the compiler: partial
// j adds the products at j, j + 16, ... up to the last whole group of 16, the remaining
// products go to partial 0 in turn, and the partials are then added pairwise.
constexpr size_t kLanes = 16;
// Lags computed together: each lag's additions wait on one another, different lags' do not.
constexpr size_t kLagsTogether = 4;

// Eight doubles, half of a lag's partial sums. Spelt as a vector so that the compiler
// keeps the lags apart instead of vectorising across them.
typedef double Eight __attribute__((vector_size(64)));

void load(Eight& v, const double* p) { std::memcpy(&v, p, sizeof v); }

// Adds a[i] * b[i] into the partial sums from `begin` (a multiple of kLanes) on, in the
// order above, and returns their total.
double finish_dot(const double* a, const double* b, size_t count, size_t begin,
                  double (&partial)[kLanes]) {
  size_t i = begin;
  for (; i + kLanes <= count; i += kLanes)
    for (size_t j = 0; j < kLanes; ++j) partial[j] += a[i + j] * b[i + j];
  for (; i < count; ++i) partial[0] += a[i] * b[i];
  for (size_t width = kLanes / 2; width > 0; width /= 2)
    for (size_t j = 0; j < width; ++j) partial[j] += partial[j + width];
  return partial[0];
}

// lags[g] = sum_n x[n] * x[n - first - g] for g < Lags, with first + Lags <= len: the
// groups of kLanes that every lag of the set has run together, then each lag on its own.
template <size_t Lags>
MURELLO_VECTOR_CLONES void lag_set(const double* x, size_t len, size_t first, double* lags) {
  Eight low[Lags] = {}, high[Lags] = {};
  const size_t shared = (len - (first + Lags - 1)) / kLanes * kLanes;
  for (size_t i = 0; i < shared; i += kLanes) {
    Eight b_low, b_high, a;
    load(b_low, x + i);
    load(b_high, x + i + kLanes / 2);
    for (size_t g = 0; g < Lags; ++g) {
      load(a, x + first + g + i);
      low[g] += a * b_low;
      load(a, x + first + g + i + kLanes / 2);
      high[g] += a * b_high;
    }
  }
  for (size_t g = 0; g < Lags; ++g) {
    double partial[kLanes];
    std::memcpy(partial, &low[g], sizeof low[g]);
    std::memcpy(partial + kLanes / 2, &high[g], sizeof high[g]);
    lags[g] = finish_dot(x + first + g, x, len - first - g, shared, partial);
  }
}

// Prediction sums of a chunk, accumulated one coefficient at a time so that the inner
// loop runs over contiguous samples.
constexpr size_t kResidualChunk = 256;

}  // namespace

void tukey_window(double taper_ratio, std::span<double> out) {
  size_t len = out.size();
  double taper = taper_ratio * double(len - 1) / 2.0;
  for (size_t n = 0; n < len; ++n) {
    double d = double(std::min(n, len - 1 - n));
    out[n] = d < taper ? 0.5 * (1.0 - taylor_cos(std::numbers::pi * d / taper)) : 1.0;
  }
}

void autocorrelation(std::span<const double> x, std::span<double> lags) {
  const size_t reached = std::min(lags.size(), x.size());  // lags beyond the block are 0
  size_t l = 0;
  for (; l + kLagsTogether <= reached; l += kLagsTogether)
    lag_set<kLagsTogether>(x.data(), x.size(), l, &lags[l]);
  for (; l < reached; ++l) lag_set<1>(x.data(), x.size(), l, &lags[l]);
  for (; l < lags.size(); ++l) lags[l] = 0.0;
}

void levinson_durbin(std::span<const double> lags, unsigned max_order, LpcLadder& out) {
  std::array<double, kMaxLpcOrder> a{};
  std::array<double, kMaxLpcOrder> previous{};
  double error = lags[0];
  out.max_order = 0;
  for (unsigned m = 1; m <= max_order; ++m) {
    double acc = lags[m];
    for (unsigned j = 1; j < m; ++j) acc -= a[j - 1] * lags[m - j];
    double k = acc / error;
    previous = a;
    for (unsigned j = 1; j < m; ++j) a[j - 1] = previous[j - 1] - k * previous[m - j - 1];
    a[m - 1] = k;
    error *= 1.0 - k * k;
    out.coefficients[m - 1] = a;
    out.error[m - 1] = error;
    out.max_order = m;
    // A vanished error means a perfect predictor; higher orders would divide by zero.
    if (!(error > 0.0)) break;
  }
}

double estimate_lpc_bits(double error, uint32_t len, unsigned order, unsigned sample_bits) {
  double per_sample = 0.5 * std::log2(std::max(error / double(len), 1e-12)) + 1.6;
  return std::max(per_sample, 0.0) * double(len - order) +
         double(order) * double(sample_bits + kLpcPrecisionBits);
}

bool quantize_lpc(std::span<const double> coefficients, QuantizedLpc& out) {
  double largest = 0.0;
  for (double c : coefficients) largest = std::max(largest, std::fabs(c));
  if (!(largest > 0.0) || !std::isfinite(largest)) return false;
  int exponent = 0;
  std::frexp(largest, &exponent);  // largest = f * 2^exponent, f in [0.5, 1)
  int shift = std::clamp(13 - (exponent - 1), 0, 15);
  constexpr double kLargest = (1 << (kLpcPrecisionBits - 1)) - 1;
  double scale = std::ldexp(1.0, shift);
  double carried = 0.0;
  bool any = false;
  for (size_t j = 0; j < coefficients.size(); ++j) {
    carried += coefficients[j] * scale;
    double q = std::clamp(std::floor(carried + 0.5), -kLargest - 1, kLargest);
    carried -= q;
    out.coefficients[j] = int32_t(q);
    any = any || q != 0.0;
  }
  out.order = unsigned(coefficients.size());
  out.shift = unsigned(shift);
  return any;
}

namespace {

// Residuals with the prediction sums accumulated in Arith. With 32-bit sums the caller
// has bounded every sum below 2^30, so the residual is below 2^31 and always fits.
template <class Arith, class Sample>
MURELLO_VECTOR_CLONES std::optional<uint32_t> residual_in(std::span<const Sample> x,
                                                          const QuantizedLpc& lpc,
                                                          std::span<uint32_t> folded) {
  const unsigned order = lpc.order;
  const size_t len = x.size();
  ResidualFolder<Arith> fold;
  Arith sums[kResidualChunk];
  for (size_t begin = order; begin < len; begin += kResidualChunk) {
    size_t count = std::min(kResidualChunk, len - begin);
    const Sample* base = x.data() + begin;
    std::fill(sums, sums + count, Arith(0));
    for (unsigned j = 0; j < order; ++j) {
      const Arith c = lpc.coefficients[j];
      const Sample* past = base - 1 - j;
      for (size_t i = 0; i < count; ++i) sums[i] += c * Arith(past[i]);
    }
    uint32_t* out = folded.data() + (begin - order);
    for (size_t i = 0; i < count; ++i) out[i] = fold(Arith(base[i]) - (sums[i] >> lpc.shift));
  }
  return fold.ones();
}

// Predictors up to this order of 32-bit samples take the unrolled loop below.
constexpr unsigned kUnrolledOrders = 12;

// residual_in with the order fixed at compile time: the prediction unrolls and the loop
// runs across samples, several per vector, with every coefficient held in a register.
template <unsigned Order, class Arith>
MURELLO_VECTOR_CLONES std::optional<uint32_t> unrolled_residual(std::span<const int32_t> x,
                                                                const QuantizedLpc& lpc,
                                                                std::span<uint32_t> folded) {
  Arith c[Order];
  for (unsigned j = 0; j < Order; ++j) c[j] = lpc.coefficients[j];
  const unsigned shift = lpc.shift;
  const int32_t* p = x.data();
  ResidualFolder<Arith> fold;
  for (size_t n = Order; n < x.size(); ++n) {
    Arith sum = 0;
    for (unsigned j = 0; j < Order; ++j) sum += c[j] * Arith(p[n - 1 - j]);
    folded[n - Order] = fold(Arith(p[n]) - (sum >> shift));
  }
  return fold.ones();
}

template <class Arith, unsigned... Orders>
std::optional<uint32_t> unrolled_residual(std::span<const int32_t> x, const QuantizedLpc& lpc,
                                          std::span<uint32_t> folded,
                                          std::integer_sequence<unsigned, Orders...>) {
  using Kernel = std::optional<uint32_t> (*)(std::span<const int32_t>, const QuantizedLpc&,
                                             std::span<uint32_t>);
  static constexpr Kernel kKernels[] = {unrolled_residual<Orders + 1, Arith>...};
  return kKernels[lpc.order - 1](x, lpc, folded);
}

// Residuals with the prediction sums in Arith, unrolled when the order allows.
template <class Arith, class Sample>
std::optional<uint32_t> residual_with(std::span<const Sample> x, const QuantizedLpc& lpc,
                                      std::span<uint32_t> folded) {
  if constexpr (std::is_same_v<Sample, int32_t>) {
    if (lpc.order <= kUnrolledOrders)
      return unrolled_residual<Arith>(x, lpc, folded,
                                      std::make_integer_sequence<unsigned, kUnrolledOrders>());
  }
  return residual_in<Arith>(x, lpc, folded);
}

}  // namespace

template <class Sample>
std::optional<uint32_t> lpc_residual(std::span<const Sample> x, const QuantizedLpc& lpc,
                                     uint64_t peak, std::span<uint32_t> folded) {
  uint64_t coefficient_sum = 0;
  for (unsigned j = 0; j < lpc.order; ++j)
    coefficient_sum += uint64_t(lpc.coefficients[j] < 0 ? -lpc.coefficients[j] : lpc.coefficients[j]);
  // Both factors are below 2^33 and 2^20, so the product cannot wrap.
  bool narrow = std::is_same_v<Sample, int32_t> && peak < (uint64_t(1) << 30) &&
                coefficient_sum * peak < (uint64_t(1) << 30);
  return narrow ? residual_with<int32_t>(x, lpc, folded) : residual_with<int64_t>(x, lpc, folded);
}

template std::optional<uint32_t> lpc_residual<int32_t>(std::span<const int32_t>,
                                                       const QuantizedLpc&, uint64_t,
                                                       std::span<uint32_t>);
template std::optional<uint32_t> lpc_residual<int64_t>(std::span<const int64_t>,
                                                       const QuantizedLpc&, uint64_t,
                                                       std::span<uint32_t>);

}  // namespace murello
