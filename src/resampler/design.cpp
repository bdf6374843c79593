#include "resampler/design.hpp"

#include <algorithm>
#include <numeric>

#include "resampler/kernel.hpp"

namespace murello {
namespace {

// Shape of the table before any coefficient is computed, so that oversized pairs are
// refused without allocating.
struct Plan {
  FilterDesign design;
  double cutoff = 0;
};

// N rounded up so that N − 1 is a multiple of 2M: the centre then falls on a whole
// output sample.
uint64_t rational_length(uint64_t raw, uint64_t down) {
  const uint64_t rest = (raw - 1) % (2 * down);
  return rest == 0 ? raw : raw + (2 * down - rest);
}

Result<Plan, ResamplerError> plan_filter(uint32_t input_hz, uint32_t output_hz) {
  const uint64_t g = std::gcd(input_hz, output_hz);
  const uint64_t up = output_hz / g;
  const uint64_t down = input_hz / g;
  const double low_hz = std::min(input_hz, output_hz);
  const bool rational = up <= kMaxRationalPhases;
  const double prototype_hz =
      rational ? double(output_hz) * double(down) : double(kInterpolatedPhases) * input_hz;
  const double raw = kaiser_length(low_hz, prototype_hz);
  // Refused while still a double, so no integer step below can overflow.
  if (raw > double(kMaxFilterLength)) {
    return ResamplerError{ResamplerError::Kind::FilterTooLarge, input_hz, output_hz};
  }
  const uint64_t v = static_cast<uint64_t>(raw);
  Plan plan;
  FilterDesign& d = plan.design;
  plan.cutoff = kaiser_cutoff(low_hz, prototype_hz);
  if (rational) {
    d.form = ResamplerForm::Rational;
    d.up = up;
    d.down = down;
    d.phases = up;
    d.length = rational_length(v, down);
    d.taps = (d.length + up - 1) / up;
    d.group_delay_frames = (d.length - 1) / (2 * down);
  } else {
    d.form = ResamplerForm::Interpolated;
    d.up = output_hz;
    d.down = input_hz;
    d.phases = kInterpolatedPhases;
    d.length = v | 1;
    d.taps = v / kInterpolatedPhases + 1;
    d.group_delay_frames = ((d.length - 1) * output_hz + kInterpolatedPhases * input_hz) /
                           (2 * kInterpolatedPhases * input_hz);
  }
  if (d.length > kMaxFilterLength) {
    return ResamplerError{ResamplerError::Kind::FilterTooLarge, input_hz, output_hz};
  }
  return plan;
}

// Row p holds h[p + phases·k] × phases for k = 0 … T − 1, taps reversed, rounded to
// float; positions past the prototype stay 0.
void fill_table(FilterDesign& d, const std::vector<double>& h) {
  d.table.assign(1 + d.phases * d.taps, 0.0);
  const double gain = static_cast<double>(d.phases);
  for (uint64_t p = 0; p < d.phases; ++p) {
    double* row = d.table.data() + 1 + p * d.taps;
    for (uint64_t k = 0; k < d.taps; ++k) {
      const uint64_t index = p + d.phases * k;
      if (index >= h.size()) break;
      row[d.taps - 1 - k] = static_cast<float>(h[index] * gain);
    }
  }
}

}  // namespace

Result<FilterDesign, ResamplerError> design_filter(uint32_t input_hz, uint32_t output_hz) {
  if (input_hz == 0 || output_hz == 0) {
    return ResamplerError{ResamplerError::Kind::ZeroSampleRate};
  }
  if (input_hz == output_hz) return FilterDesign{};
  auto plan = plan_filter(input_hz, output_hz);
  if (!plan) return std::move(plan).error();
  FilterDesign& d = plan->design;
  fill_table(d, windowed_sinc(d.length, plan->cutoff));
  return std::move(d);
}

}  // namespace murello
