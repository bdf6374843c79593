// Samples made safe for where they go: what sanitising a conditioned recording changes
// before it is stored as integer samples, and samples limited before a speaker plays them.
//
// Conventions: samples are 32-bit floats at full scale -1.0 ... +1.0; counts are
// samples (of all channels), not frames.
#pragma once

#include <cstdint>
#include <span>

namespace murello {

struct SaveCounts {
  uint64_t clipped = 0;     // finite samples beyond +-1.0, stored as +-1.0
  uint64_t non_finite = 0;  // NaN (stored as 0.0) and infinities (stored as +-1.0)
};

// Counts the samples that sanitising replaces: non-finite ones, then finite ones beyond
// +-1.0. The samples need no rewriting: the integer writers quantise every value as
// its replacement would be (NaN to silence, the rest clamped to full scale).
SaveCounts count_unsafe_samples(std::span<const float> samples);

// Rewrites the non-finite samples as sanitising stores them (NaN 0.0, infinities +-1.0),
// leaving every finite one as it is, and returns how many it rewrote: for samples
// stored as floats, which keep values beyond full scale.
uint64_t replace_non_finite(std::span<float> samples);

// Rewrites `samples` in place so that nothing a device cannot play at a safe level reaches
// it: NaN and infinities become 0.0 and finite samples beyond +-1.0 become +-1.0.
void limit_for_output(std::span<float> samples);

}  // namespace murello
