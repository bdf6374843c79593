// FLAC's fixed polynomial predictors of orders 0 to 4.
//
// Conventions: lengths are samples of one channel of one block; residuals are folded
// (2r for r >= 0, -2r - 1 otherwise) as in flac_rice.hpp.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace murello {

inline constexpr unsigned kMaxFixedOrder = 4;

// `peak` is the largest |x[n]|; small peaks let the loops run in 32-bit lanes.

// Sum of |residual| for every order 0..kMaxFixedOrder, all taken over the same samples
// x[max_order..] so that the orders compare fairly. Orders above max_order are left 0.
template <class Sample>
std::array<uint64_t, kMaxFixedOrder + 1> fixed_residual_sums(std::span<const Sample> x,
                                                            unsigned max_order, uint64_t peak);

// Folded residuals of x[order..] (x.size() - order values) and the bits set in any of
// them; nothing when one of them reaches 2^31 in magnitude and so cannot be Rice-coded.
template <class Sample>
std::optional<uint32_t> fixed_residual(std::span<const Sample> x, unsigned order, uint64_t peak,
                                       std::span<uint32_t> folded);

}  // namespace murello
