// Restoring FLAC samples from their residuals with the fixed and LPC predictors.
//
// Conventions: `samples` holds one channel of one block (frames); on entry
// samples[0..order) are the warm-up samples and the rest are residuals, which are turned
// into samples in place. All arithmetic is 64-bit. Each restored sample must fit
// `bits` (1..33) as two's complement; the first that does not stops the restore and
// false is returned. Keeping every sample in range also bounds each prediction sum well
// inside 64 bits (32 coefficients of at most 15 bits times 33-bit samples).
#pragma once

#include <cstdint>
#include <span>

namespace murello {

// Fixed polynomial predictors of order 0..4.
[[nodiscard]] bool restore_fixed(std::span<int64_t> samples, unsigned order, unsigned bits);

// Linear prediction of order 1..32 (coefficients.size()), quantised with `shift`
// (0..15): prediction = (sum of coefficient[j] * sample[n-1-j]) >> shift.
[[nodiscard]] bool restore_lpc(std::span<int64_t> samples, std::span<const int64_t> coefficients,
                               unsigned shift, unsigned bits);

}  // namespace murello
