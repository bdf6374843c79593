// Folding prediction residuals for Rice coding: 2r for r >= 0, -2r - 1 otherwise, as
// unsigned 32-bit values.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

namespace murello {

// Folds residuals computed in Arith (int32_t or int64_t) and remembers the bits set in any
// of them, for the Rice search, and whether one reached 2^31 in magnitude, which 32 bits
// cannot hold folded. Residuals in 32-bit arithmetic are below 2^31 by construction.
template <class Arith>
class ResidualFolder {
 public:
  uint32_t operator()(Arith r) {
    using Unsigned = std::make_unsigned_t<Arith>;
    Unsigned u = (Unsigned(r) << 1) ^ Unsigned(r >> (sizeof(Arith) * 8 - 1));
    if constexpr (sizeof(Arith) == 8) overflow_ |= (uint64_t(u) + 1) >> 32;  // |r| >= 2^31
    ones_ |= uint32_t(u);
    return uint32_t(u);
  }

  // The bits set in any folded residual; nothing after one that did not fit.
  std::optional<uint32_t> ones() const {
    if (overflow_ != 0) return std::nullopt;
    return ones_;
  }

 private:
  uint32_t ones_ = 0;
  uint64_t overflow_ = 0;
};

}  // namespace murello
