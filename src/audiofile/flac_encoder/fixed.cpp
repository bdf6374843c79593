#include "audiofile/flac_encoder/fixed.hpp"

#include <type_traits>

#include "audiofile/flac_encoder/fold.hpp"
#include "util/simd.hpp"

namespace murello {
namespace {

// Below this peak every difference up to order 4 (at most 16 times the peak) fits in 31
// bits, so the loops can run in 32-bit lanes, twice as many per vector.
constexpr uint64_t kNarrowPeak = uint64_t(1) << 26;

template <class Arith>
uint64_t magnitude(Arith r) {
  using Unsigned = std::make_unsigned_t<Arith>;
  return uint64_t(r < 0 ? Unsigned(0) - Unsigned(r) : Unsigned(r));
}

// The order-th difference of x at n, computed in Arith.
template <unsigned Order, class Arith, class Sample>
Arith difference(const Sample* x, size_t n) {
  auto s = [&](size_t back) { return Arith(x[n - back]); };
  if constexpr (Order == 0) return s(0);
  if constexpr (Order == 1) return s(0) - s(1);
  if constexpr (Order == 2) return s(0) - 2 * s(1) + s(2);
  if constexpr (Order == 3) return s(0) - 3 * s(1) + 3 * s(2) - s(3);
  if constexpr (Order == 4) return s(0) - 4 * s(1) + 6 * s(2) - 4 * s(3) + s(4);
}

template <unsigned Order, class Arith, class Sample>
MURELLO_VECTOR_CLONES std::optional<uint32_t> fold_residual(std::span<const Sample> x,
                                                            std::span<uint32_t> folded) {
  ResidualFolder<Arith> fold;
  const Sample* p = x.data();
  uint32_t* out = folded.data();
  for (size_t n = Order; n < x.size(); ++n) out[n - Order] = fold(difference<Order, Arith>(p, n));
  return fold.ones();
}

template <class Arith, class Sample>
MURELLO_VECTOR_CLONES std::array<uint64_t, kMaxFixedOrder + 1> all_order_sums(
    std::span<const Sample> x) {
  const Sample* p = x.data();
  uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0;
  for (size_t n = kMaxFixedOrder; n < x.size(); ++n) {
    s0 += magnitude(difference<0, Arith>(p, n));
    s1 += magnitude(difference<1, Arith>(p, n));
    s2 += magnitude(difference<2, Arith>(p, n));
    s3 += magnitude(difference<3, Arith>(p, n));
    s4 += magnitude(difference<4, Arith>(p, n));
  }
  return {s0, s1, s2, s3, s4};
}

template <class Arith, class Sample>
std::optional<uint32_t> residual_in(std::span<const Sample> x, unsigned order,
                                    std::span<uint32_t> folded) {
  switch (order) {
    case 0: return fold_residual<0, Arith>(x, folded);
    case 1: return fold_residual<1, Arith>(x, folded);
    case 2: return fold_residual<2, Arith>(x, folded);
    case 3: return fold_residual<3, Arith>(x, folded);
    default: return fold_residual<4, Arith>(x, folded);
  }
}

template <class Sample>
bool narrow(uint64_t peak) {
  return std::is_same_v<Sample, int32_t> && peak < kNarrowPeak;
}

}  // namespace

template <class Sample>
std::array<uint64_t, kMaxFixedOrder + 1> fixed_residual_sums(std::span<const Sample> x,
                                                            unsigned max_order, uint64_t peak) {
  if (max_order == kMaxFixedOrder)
    return narrow<Sample>(peak) ? all_order_sums<int32_t>(x) : all_order_sums<int64_t>(x);
  // Blocks shorter than five samples: compare the orders that fit over the last sample(s).
  std::array<uint64_t, kMaxFixedOrder + 1> sums{};
  const Sample* p = x.data();
  for (size_t n = max_order; n < x.size(); ++n) {
    sums[0] += magnitude(difference<0, int64_t>(p, n));
    if (max_order >= 1) sums[1] += magnitude(difference<1, int64_t>(p, n));
    if (max_order >= 2) sums[2] += magnitude(difference<2, int64_t>(p, n));
    if (max_order >= 3) sums[3] += magnitude(difference<3, int64_t>(p, n));
  }
  return sums;
}

template <class Sample>
std::optional<uint32_t> fixed_residual(std::span<const Sample> x, unsigned order, uint64_t peak,
                                       std::span<uint32_t> folded) {
  return narrow<Sample>(peak) ? residual_in<int32_t>(x, order, folded)
                              : residual_in<int64_t>(x, order, folded);
}

template std::array<uint64_t, kMaxFixedOrder + 1> fixed_residual_sums<int32_t>(
    std::span<const int32_t>, unsigned, uint64_t);
template std::array<uint64_t, kMaxFixedOrder + 1> fixed_residual_sums<int64_t>(
    std::span<const int64_t>, unsigned, uint64_t);
template std::optional<uint32_t> fixed_residual<int32_t>(std::span<const int32_t>, unsigned,
                                                         uint64_t, std::span<uint32_t>);
template std::optional<uint32_t> fixed_residual<int64_t>(std::span<const int64_t>, unsigned,
                                                         uint64_t, std::span<uint32_t>);

}  // namespace murello
