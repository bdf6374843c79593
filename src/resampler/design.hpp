// Filter design for the resampler: the choice of form, the prototype length and the
// polyphase coefficient table.
//
// Conventions: rates are whole hertz (`_hz`); `length` counts prototype taps (N),
// `taps` counts coefficients per phase (T); delays are in output frames. Design is
// stateless and done in double precision; table values are rounded to float and
// stored as double.
#pragma once

#include <cstdint>
#include <vector>

#include "resampler/error.hpp"
#include "util/result.hpp"

namespace murello {

enum class ResamplerForm {
  Identity,      // equal rates: samples pass unchanged
  Rational,      // exact polyphase filter with L phases, step M
  Interpolated,  // 512 phases, coefficients blended linearly between adjacent phases
};

inline constexpr uint64_t kMaxFilterLength = uint64_t{1} << 22;
inline constexpr uint64_t kMaxRationalPhases = 1024;
inline constexpr uint64_t kInterpolatedPhases = 512;

struct FilterDesign {
  ResamplerForm form = ResamplerForm::Identity;
  uint64_t up = 0;      // Rational: L; Interpolated: the output rate
  uint64_t down = 0;    // Rational: M; Interpolated: the input rate
  uint64_t phases = 0;  // rows in the table
  uint64_t length = 0;  // N
  uint64_t taps = 0;    // T
  uint64_t group_delay_frames = 0;
  // `phases` rows of T. Each row is stored with its taps reversed (the coefficient for
  // the oldest input first) so the dot product runs forward through the history. One
  // leading 0 makes the slice just before row 0 read as "row 0 advanced by one tap",
  // the upper neighbour of the last phase in the Interpolated form.
  std::vector<double> table;

  const double* row(uint64_t phase) const { return table.data() + 1 + phase * taps; }
  // Coefficient k of `phase`, applied to the input k steps before the newest.
  double coefficient(uint64_t phase, uint64_t k) const { return row(phase)[taps - 1 - k]; }
};

// Chooses the form for input_hz -> output_hz and builds its table. Fails with
// ZeroSampleRate for a 0 rate and FilterTooLarge when N would exceed kMaxFilterLength;
// both are decided before anything large is allocated.
Result<FilterDesign, ResamplerError> design_filter(uint32_t input_hz, uint32_t output_hz);

}  // namespace murello
