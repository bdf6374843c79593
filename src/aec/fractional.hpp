// FractionalReader: reads an endless stream held in a HistoryRing at positions
// that need not be whole samples, by windowed-sinc interpolation.
//
// The kernel has 32 taps (a Kaiser window) tabulated at 256 fractions with
// linear interpolation between neighbouring fractions; a whole position gives
// the stored sample exactly. The reader keeps a scratch copy of the span it
// needs, sized at construction for reads of up to `max_count` samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "aec/ring.hpp"

namespace murello::aec {

class FractionalReader {
 public:
  static constexpr std::size_t kTaps = 32;
  static constexpr std::size_t kPhases = 256;

  explicit FractionalReader(std::size_t max_count);

  // Fills out[i] with the stream at position start + i·step (start in samples,
  // step close to 1: within a few parts per thousand). Positions never written
  // or already overwritten read as silence. out.size() ≤ max_count.
  void read(const HistoryRing& history, double start, double step, std::span<float> out);

 private:
  std::vector<float> table_;    // (kPhases + 1) × kTaps
  std::vector<float> scratch_;  // the history span one read covers
};

}  // namespace murello::aec
