#include "resampler/polyphase.hpp"

#include <utility>

namespace murello {

Result<Resampler, ResamplerError> Resampler::create(uint32_t input_hz, uint32_t output_hz) {
  auto design = design_filter(input_hz, output_hz);
  if (!design) return std::move(design).error();
  return Resampler(input_hz, output_hz, std::move(design).value());
}

Resampler::Resampler(uint32_t input_hz, uint32_t output_hz, FilterDesign design)
    : input_hz_(input_hz),
      output_hz_(output_hz),
      design_(std::move(design)),
      dot_(best_dot_kernels()),
      history_(2 * design_.taps, 0.0),
      // The first input then lands at index 0.
      ring_pos_(design_.taps == 0 ? 0 : design_.taps - 1) {
  for (uint8_t symmetric : design_.symmetric_rows) {
    row_dot_.push_back(symmetric ? dot_.symmetric_dot : dot_.dot);
  }
}

Result<void, ResamplerError> Resampler::process(std::span<const float> in,
                                                std::vector<float>& out) {
  if (state_ == State::Flushed) return ResamplerError{ResamplerError::Kind::ProcessAfterFlush};
  if (in.empty()) return {};
  state_ = State::Active;
  if (design_.form == Form::Identity) {
    out.insert(out.end(), in.begin(), in.end());
  } else {
    feed(in.size(), [in](uint64_t j) { return static_cast<double>(in[j]); }, out);
  }
  return {};
}

void Resampler::flush(std::vector<float>& out) {
  if (state_ == State::Active && design_.form != Form::Identity) {
    feed(design_.taps - 1, [](uint64_t) { return 0.0; }, out);
  }
  state_ = State::Flushed;
}

template <class Source>
void Resampler::feed(uint64_t count, Source sample, std::vector<float>& out) {
  const uint64_t taps = design_.taps;
  double* ring = history_.data();
  for (uint64_t j = 0; j < count; ++j) {
    ring_pos_ = ring_pos_ + 1 == taps ? 0 : ring_pos_ + 1;
    const double x = sample(j);
    ring[ring_pos_] = x;
    ring[ring_pos_ + taps] = x;
    const uint64_t index = inputs_seen_++;
    if (index != next_input_) continue;
    if (design_.form == Form::Rational) {
      emit_rational(index, out);
    } else {
      emit_interpolated(index, out);
    }
  }
}

// Both forms advance the same way: `position` counts 1/up of an input period, and each
// output moves it on by `down` of them.
bool Resampler::advance(uint64_t index) {
  const uint64_t t = position_ + design_.down;
  position_ = t % design_.up;
  next_input_ = index + t / design_.up;
  return t < design_.up;
}

// Outputs due on the same input share its window, so up to kMaxRowGroup of them are
// computed in one pass over it.
void Resampler::emit_rational(uint64_t index, std::vector<float>& out) {
  const double* window = history_.data() + ring_pos_ + 1;
  const uint64_t taps = design_.taps;
  for (bool more = true; more;) {
    const uint64_t first = position_;
    const double* rows[kMaxRowGroup];
    size_t count = 0;
    do {
      rows[count++] = design_.row(position_);
      more = advance(index);
    } while (more && count < kMaxRowGroup);
    if (count == 1) {
      out.push_back(static_cast<float>(row_dot_[first](rows[0], window, taps)));
      continue;
    }
    double y[kMaxRowGroup];
    dot_.multi_dot(rows, count, window, taps, y);
    for (size_t r = 0; r < count; ++r) out.push_back(static_cast<float>(y[r]));
  }
}

void Resampler::emit_interpolated(uint64_t index, std::vector<float>& out) {
  const double* window = history_.data() + ring_pos_ + 1;
  const uint64_t out_hz = design_.up;
  for (;;) {
    const uint64_t scaled = kInterpolatedPhases * position_;
    const uint64_t lower = scaled / out_hz;
    const double frac = static_cast<double>(scaled % out_hz) / static_cast<double>(out_hz);
    // The last phase blends towards row 0 advanced by one tap.
    const double* upper_row =
        lower + 1 == kInterpolatedPhases ? design_.row(0) - 1 : design_.row(lower + 1);
    out.push_back(static_cast<float>(
        dot_.blended_dot(design_.row(lower), upper_row, frac, window, design_.taps)));
    if (!advance(index)) return;
  }
}

}  // namespace murello
