#include "decode/flac_enc_fixed.hpp"

#include "decode/flac_enc_simd.hpp"

namespace murello {
namespace {

uint64_t magnitude(int64_t r) { return uint64_t(r < 0 ? -r : r); }

// The order-th difference of x at n, computed in 64 bits.
template <unsigned Order, class Sample>
int64_t difference(const Sample* x, size_t n) {
  if constexpr (Order == 0) return x[n];
  if constexpr (Order == 1) return int64_t(x[n]) - x[n - 1];
  if constexpr (Order == 2) return int64_t(x[n]) - 2 * int64_t(x[n - 1]) + x[n - 2];
  if constexpr (Order == 3)
    return int64_t(x[n]) - 3 * int64_t(x[n - 1]) + 3 * int64_t(x[n - 2]) - x[n - 3];
  if constexpr (Order == 4)
    return int64_t(x[n]) - 4 * int64_t(x[n - 1]) + 6 * int64_t(x[n - 2]) -
           4 * int64_t(x[n - 3]) + x[n - 4];
}

template <unsigned Order, class Sample>
MURELLO_VECTOR_CLONES bool fold_residual(std::span<const Sample> x, std::span<uint32_t> folded) {
  uint64_t overflow = 0;
  const Sample* p = x.data();
  uint32_t* out = folded.data();
  for (size_t n = Order; n < x.size(); ++n) {
    int64_t r = difference<Order>(p, n);
    uint64_t u = uint64_t(r << 1) ^ uint64_t(r >> 63);
    overflow |= (u + 1) >> 32;  // nonzero when |r| >= 2^31
    out[n - Order] = uint32_t(u);
  }
  return overflow == 0;
}

}  // namespace

template <class Sample>
MURELLO_VECTOR_CLONES std::array<uint64_t, kMaxFixedOrder + 1> fixed_residual_sums(
    std::span<const Sample> x, unsigned max_order) {
  std::array<uint64_t, kMaxFixedOrder + 1> sums{};
  const Sample* p = x.data();
  uint64_t s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0;
  if (max_order == kMaxFixedOrder) {
    for (size_t n = kMaxFixedOrder; n < x.size(); ++n) {
      s0 += magnitude(difference<0>(p, n));
      s1 += magnitude(difference<1>(p, n));
      s2 += magnitude(difference<2>(p, n));
      s3 += magnitude(difference<3>(p, n));
      s4 += magnitude(difference<4>(p, n));
    }
    return {s0, s1, s2, s3, s4};
  }
  // Blocks shorter than five samples: compare the orders that fit over the last sample(s).
  for (size_t n = max_order; n < x.size(); ++n) {
    sums[0] += magnitude(difference<0>(p, n));
    if (max_order >= 1) sums[1] += magnitude(difference<1>(p, n));
    if (max_order >= 2) sums[2] += magnitude(difference<2>(p, n));
    if (max_order >= 3) sums[3] += magnitude(difference<3>(p, n));
  }
  return sums;
}

template <class Sample>
bool fixed_residual(std::span<const Sample> x, unsigned order, std::span<uint32_t> folded) {
  switch (order) {
    case 0: return fold_residual<0>(x, folded);
    case 1: return fold_residual<1>(x, folded);
    case 2: return fold_residual<2>(x, folded);
    case 3: return fold_residual<3>(x, folded);
    default: return fold_residual<4>(x, folded);
  }
}

template std::array<uint64_t, kMaxFixedOrder + 1> fixed_residual_sums<int32_t>(
    std::span<const int32_t>, unsigned);
template std::array<uint64_t, kMaxFixedOrder + 1> fixed_residual_sums<int64_t>(
    std::span<const int64_t>, unsigned);
template bool fixed_residual<int32_t>(std::span<const int32_t>, unsigned, std::span<uint32_t>);
template bool fixed_residual<int64_t>(std::span<const int64_t>, unsigned, std::span<uint32_t>);

}  // namespace murello
