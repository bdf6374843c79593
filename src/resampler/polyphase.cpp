#include "resampler/polyphase.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "util/simd.hpp"

namespace murello {
namespace {

// A stretch is the run of inputs appended to the line before its outputs are computed.
// Aim for this many outputs per stretch, so each row serves several of them per pass...
constexpr uint64_t kStretchOutputs = 8192;
// ...while the line stays within the second-level cache; a little more where it buys
// line-aligned windows (a quarter of a megabyte, then half of one).
constexpr uint64_t kMaxStretchInputs = 32768;
constexpr uint64_t kMaxSpreadStretchInputs = 65536;
// Doubles in a 64-byte cache line.
constexpr uint64_t kLineDoubles = 8;
// A partial pass costs what a whole one does; it is taken for at least this share of one
// (below about a third, the outputs' dot products cost less).
constexpr double kPartialPassShare = 0.4;

bool worth_a_pass(uint64_t outputs, uint64_t pass_outputs) {
  return double(outputs) >= kPartialPassShare * double(pass_outputs);
}

// Interpolated outputs sorted by phase at a time: about eight per phase of 512.
constexpr uint64_t kBlendTileOutputs = 4096;

MURELLO_VECTOR_CLONES void widen(const float* in, uint64_t count, double* out) {
  for (uint64_t j = 0; j < count; ++j) out[j] = in[j];
}

// Outputs a whole number of lines apart in a sequence of the Rational form: every
// `spread`-th window of a sequence starts at the same place in a 64-byte line.
uint64_t line_spread(uint64_t down) {
  return kLineDoubles / std::gcd(down % kLineDoubles, kLineDoubles);
}

uint64_t stretch_inputs(const FilterDesign& d) {
  if (d.form == ResamplerForm::Identity) return 0;
  const uint64_t spread = d.form == ResamplerForm::Rational ? line_spread(d.down) : 1;
  if (spread == 1) {
    return std::clamp<uint64_t>(kStretchOutputs * d.down / d.up, 1, kMaxStretchInputs);
  }
  // Room for two blocks of passes a line apart (see emit_rational).
  const uint64_t outputs = std::max(kStretchOutputs, 2 * kDotGroup * spread * d.up);
  return std::clamp<uint64_t>(outputs * d.down / d.up, 1, kMaxSpreadStretchInputs);
}

}  // namespace

Result<Resampler, ResamplerError> Resampler::create(uint32_t input_hz, uint32_t output_hz) {
  auto design = design_filter(input_hz, output_hz);
  if (!design) return std::move(design).error();
  return Resampler(input_hz, output_hz, std::move(design).value());
}

Resampler::Resampler(uint32_t input_hz, uint32_t output_hz, FilterDesign design)
    : input_hz_(input_hz), output_hz_(output_hz), design_(std::move(design)) {
  if (design_.form == Form::Identity) return;
  const FilterDesign& d = design_;
  step_whole_ = d.down / d.up;
  step_rest_ = d.down % d.up;
  passes_suit_ = OverlapSave::suits(d);
  history_ = d.taps - 1;
  if (passes_suit_) history_ = std::max(history_, OverlapSave::lead_inputs(d));
  const uint64_t stretch = stretch_inputs(d);
  line_.assign(history_ + stretch, 0.0);
  line_end_ = history_;
  line_first_ = -int64_t(history_);
  const uint64_t max_outputs = (stretch * d.up + d.down - 1) / d.down + 1;
  if (d.form == Form::Rational) {
    job_phase_.resize(std::min(max_outputs, d.up));
    job_window_.resize(job_phase_.size());
  } else {
    const uint64_t tile = std::min(max_outputs, kBlendTileOutputs);
    blend_jobs_.resize(tile);
    sorted_jobs_.resize(tile);
    job_phase_.resize(tile);
    phase_first_.resize(d.phases + 1);
  }
}

Result<void, ResamplerError> Resampler::process(std::span<const float> in,
                                                std::vector<float>& out) {
  if (state_ == State::Flushed) return ResamplerError{ResamplerError::Kind::ProcessAfterFlush};
  if (in.empty()) return {};
  state_ = State::Active;
  if (design_.form == Form::Identity) {
    out.insert(out.end(), in.begin(), in.end());
    return {};
  }
  if (passes_suit_) prepare_passes(in.size() * design_.up / design_.down);
  feed(in.data(), in.size(), out);
  return {};
}

// Streams fed in tiny blocks never take a pass, so the transforms and the longer line
// they need are built only when the first call long enough for at least a partial pass
// arrives, sized for it, and built again, larger, when a call outgrows them.
void Resampler::prepare_passes(uint64_t call_outputs) {
  if (!worth_a_pass(call_outputs, OverlapSave::pass_outputs_for(design_, call_outputs))) return;
  if (passes_ && !passes_->outgrown_by(call_outputs)) return;
  passes_ = std::make_unique<OverlapSave>(design_, call_outputs);
  // Room for several passes, so few outputs are left to the direct form.
  const uint64_t room = history_ + 4 * passes_->pass_inputs();
  if (line_.size() < room) line_.resize(room, 0.0);
}

void Resampler::flush(std::vector<float>& out) {
  if (state_ == State::Active && design_.form != Form::Identity) {
    feed(nullptr, design_.taps - 1, out);
  }
  state_ = State::Flushed;
}

void Resampler::feed(const float* in, uint64_t count, std::vector<float>& out) {
  while (count > 0) {
    if (line_end_ == line_.size()) compact_line();
    const uint64_t n = std::min<uint64_t>(count, line_.size() - line_end_);
    double* to = line_.data() + line_end_;
    if (in) {
      widen(in, n, to);
      in += n;
    } else {
      std::fill(to, to + n, 0.0);
    }
    line_end_ += n;
    inputs_seen_ += n;
    count -= n;
    // Outputs short of a whole pass wait for the rest of the call's input.
    if (passes_ && emit_passes(out, count == 0) && count > 0) continue;
    emit_direct(out);
  }
}

void Resampler::compact_line() {
  const int64_t keep_from = int64_t(std::min(next_input_, inputs_seen_)) - int64_t(history_);
  const uint64_t skip = uint64_t(keep_from - line_first_);
  std::copy(line_.begin() + skip, line_.begin() + line_end_, line_.begin());
  line_end_ -= skip;
  line_first_ = keep_from;
}

uint64_t Resampler::outputs_due() const { return outputs_due_from(position_, next_input_); }

// Output j after a clock at (position, next_input) is due on input
// next_input + ⌊(position + j·M) / L⌋, so the outputs due are counted without stepping.
uint64_t Resampler::outputs_due_from(uint64_t position, uint64_t next_input) const {
  if (next_input >= inputs_seen_) return 0;
  const uint64_t reach = (inputs_seen_ - next_input) * design_.up - position;
  return (reach + design_.down - 1) / design_.down;
}

void Resampler::advance_by(uint64_t count) {
  const uint64_t moved = position_ + count * step_rest_;
  next_input_ += count * step_whole_ + moved / design_.up;
  position_ = moved % design_.up;
}

// A pass starts at phase 0; the few outputs before it go the direct way. At the end of
// a call, outputs due short of a whole pass take a partial pass when they are enough of
// one for it to beat their dot products: the line past the last input is zeroed for it,
// and only the due outputs are kept.
bool Resampler::emit_passes(std::vector<float>& out, bool call_ends) {
  const FilterDesign& d = design_;
  const uint64_t pass_inputs = passes_->pass_inputs();
  for (;;) {
    uint64_t lead = 0, position = position_, start = next_input_;
    for (; position != 0; ++lead) step_clock(position, start);
    const bool whole = start + pass_inputs <= inputs_seen_;
    uint64_t count = passes_->pass_outputs();
    if (!whole) {
      if (!call_ends || start >= inputs_seen_) return true;
      count = outputs_due_from(0, start);
      if (!worth_a_pass(count, passes_->pass_outputs())) return true;
      if (int64_t(start + pass_inputs) - line_first_ > int64_t(line_.size())) {
        compact_line();
      }
    }
    uint64_t first = out.size();
    if (lead > 0) {
      out.resize(first + lead);
      emit_rational(lead, out.data() + first);
      first += lead;
    }
    const int64_t from = int64_t(start) - int64_t(OverlapSave::lead_inputs(d)) - line_first_;
    if (!whole) {
      std::fill(line_.begin() + line_end_, line_.begin() + from + passes_->span_inputs(), 0.0);
    }
    out.resize(first + count);
    if (!passes_->run(line_.data() + from, out.data() + first, count)) {
      out.resize(first);
      return false;
    }
    if (!whole) {
      advance_by(count);
      return true;
    }
    next_input_ = start + pass_inputs;
  }
}

void Resampler::emit_direct(std::vector<float>& out) {
  const uint64_t due = outputs_due();
  if (due == 0) return;
  const uint64_t first = out.size();
  out.resize(first + due);
  if (design_.form == Form::Rational) {
    emit_rational(due, out.data() + first);
  } else {
    emit_interpolated(due, out.data() + first);
  }
}

// Output j + L has the same phase as output j and a window M inputs later, so the
// stretch's outputs form L interleaved sequences, each one row against evenly spaced
// windows. Taking one group of each sequence in turn keeps the windows of that stretch
// of time in the first-level cache while the rows stream past.
void Resampler::emit_rational(uint64_t count, float* out) {
  const uint64_t up = design_.up, down = design_.down;
  const uint64_t sequences = std::min<uint64_t>(count, up);
  for (uint64_t j = 0; j < sequences; ++j) {
    const uint64_t phase = position_;
    job_phase_[j] = static_cast<uint32_t>(phase);
    job_window_[j] = window_start(advance());
  }
  advance_by(count - sequences);
  // Blocks of whole sequences first: in each, the outputs of a pass are `spread` apart in
  // their sequence, so that their windows, spread·M inputs apart, start at the same place
  // in a 64-byte line and the kernels read them in whole lines. The rest, a pass of
  // consecutive outputs of each sequence at a time.
  const uint64_t spread = line_spread(down);
  const uint64_t block = kDotGroup * spread;
  uint64_t t = 0;
  if (spread > 1) {
    for (; (t + block) * up <= count; t += block) {
      for (uint64_t c = t; c < t + spread; ++c) {
        for (uint64_t s = 0; s < sequences; s += 2) {
          emit_sequences(s, s + 1 < sequences, line_.data() + c * down, spread * down,
                         kDotGroup, out + c * up, spread * up);
        }
      }
    }
  }
  for (; t * up < count; t += kDotGroup) {
    for (uint64_t s = 0; s < sequences; s += 2) {
      const uint64_t first = t * up + s;
      if (first >= count) break;
      const uint64_t left = std::min<uint64_t>((count - first + up - 1) / up, kDotGroup);
      uint64_t next_left = 0;  // of sequence s + 1, which may have one output fewer
      if (s + 1 < sequences && first + 1 < count) {
        next_left = std::min<uint64_t>((count - first - 1 + up - 1) / up, kDotGroup);
      }
      const bool paired = next_left == left;
      emit_sequences(s, paired, line_.data() + t * down, down, left, out + t * up, up);
      if (!paired && next_left > 0) {
        emit_sequences(s + 1, false, line_.data() + t * down, down, next_left, out + t * up, up);
      }
    }
  }
}

// `count` outputs of sequence s, and with `paired` as many of sequence s + 1, from their
// windows at `line` + the sequence's first window, into `out` + the sequence. A pair
// goes in one pass that shares the window loads, those of s + 1 lying a few inputs after
// those of s.
void Resampler::emit_sequences(uint64_t s, bool paired, const double* line,
                               uint64_t window_stride, uint64_t count, float* out,
                               uint64_t out_stride) const {
  const double* row = design_.row(job_phase_[s]);
  if (!paired) {
    strided_dots(row, design_.taps, line + job_window_[s], window_stride, count, out + s,
                 out_stride);
    return;
  }
  paired_strided_dots(row, design_.row(job_phase_[s + 1]), design_.taps, line + job_window_[s],
                      job_window_[s + 1] - job_window_[s], window_stride, count, out + s,
                      out + s + 1, out_stride);
}

// Outputs are gathered by their lower phase, so those sharing the two rows of a blend
// are computed together; a tile of outputs at a time, so their windows stay in the
// first-level cache.
void Resampler::emit_interpolated(uint64_t count, float* out) {
  for (uint64_t first = 0; first < count; first += kBlendTileOutputs) {
    const uint64_t tile = std::min(count - first, kBlendTileOutputs);
    std::fill(phase_first_.begin(), phase_first_.end(), 0);
    for (uint64_t j = 0; j < tile; ++j) {
      const uint64_t scaled = kInterpolatedPhases * position_;
      const uint64_t lower = scaled / design_.up;
      const double frac = double(scaled % design_.up) / double(design_.up);
      const uint64_t due_on = advance();
      blend_jobs_[j] = {window_start(due_on), static_cast<uint32_t>(first + j), frac};
      job_phase_[j] = static_cast<uint32_t>(lower);
      ++phase_first_[lower + 1];
    }
    for (uint64_t p = 0; p < kInterpolatedPhases; ++p) phase_first_[p + 1] += phase_first_[p];
    for (uint64_t j = 0; j < tile; ++j) sorted_jobs_[phase_first_[job_phase_[j]]++] = blend_jobs_[j];
    // Each phase's slot now starts where the previous one's did.
    uint64_t begin = 0;
    for (uint64_t p = 0; p < kInterpolatedPhases; ++p) {
      const uint64_t end = phase_first_[p];
      if (end == begin) continue;
      // The last phase blends towards row 0 advanced by one tap.
      const double* upper =
          p + 1 == kInterpolatedPhases ? design_.row(0) - 1 : design_.row(p + 1);
      blended_dots(design_.row(p), upper, design_.taps, line_.data(),
                   sorted_jobs_.data() + begin, end - begin, out);
      begin = end;
    }
  }
}

}  // namespace murello
