// Sanitising a conditioned recording before it is stored as integer samples.
//
// Conventions: samples are 32-bit floats at full scale -1.0 ... +1.0; counts are
// samples (of all channels), not frames.
#pragma once

#include <cstdint>
#include <span>

namespace murello {

struct SaveCounts {
  uint64_t clipped = 0;     // finite samples beyond +-1.0, set to +-1.0
  uint64_t non_finite = 0;  // NaN (set to 0.0) and infinities (set to +-1.0)
};

// Rewrites `samples` in place so that every value is finite and within -1.0 ... +1.0,
// and counts what it changed. A replaced infinity counts as non-finite, not clipped.
SaveCounts sanitise(std::span<float> samples);

}  // namespace murello
