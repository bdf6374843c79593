// Mono sample-rate conversion of 32-bit float streams.
//
// Conventions: rates are whole hertz (`_hz`); lengths and positions count samples of
// one mono stream (frames). Samples enter as float, are filtered in double precision
// and each output is rounded back to float. The output is not delay-compensated: it
// starts with the filter's ramp-in and `flush` appends its ramp-out.
//
// Each output is the dot product of its table row with its window of inputs. Short
// calls compute it directly; in longer calls of the Rational pairs OverlapSave suits
// (a file read's 1600 frames are enough), most outputs come from FFT passes instead,
// within a float ulp (or 1e-9) of the direct sum, with silent windows still exactly 0.
// Splitting a stream into other calls therefore changes no output beyond that bound, and
// none at all where no pass is taken.
//
// Threads: a Resampler is plain state; one thread at a time may call it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "resampler/design.hpp"
#include "resampler/dot.hpp"
#include "resampler/error.hpp"
#include "resampler/overlap_save.hpp"
#include "util/result.hpp"

namespace murello {

// One mono stream's rate converter: the designed table (its own, never shared) and the
// input history. Built once per stream; there is no reset after flush().
class Resampler {
 public:
  using Form = ResamplerForm;

  enum class State {
    Fresh,    // built, nothing fed yet
    Active,   // fed at least one sample
    Flushed,  // flushed; further process() calls fail
  };

  // Designs the filter and builds the coefficient table for input_hz -> output_hz.
  // Fails with ZeroSampleRate if either rate is 0, FilterTooLarge if the pair needs
  // more than 2^22 prototype taps (checked before the table is allocated).
  static Result<Resampler, ResamplerError> create(uint32_t input_hz, uint32_t output_hz);

  // A fresh resampler with a copy of this one's table, for another channel of the same
  // stream: it costs a copy instead of a design (milliseconds for the long filters).
  Resampler fresh() const { return Resampler(input_hz_, output_hz_, design_); }

  // Consumes every sample of `in` and appends every output that becomes due to `out`;
  // never removes anything from `out`. `in` must not point into `out`. Fails with
  // ProcessAfterFlush once flushed, even for an empty `in`. Allocates nothing beyond
  // growing `out`, except when a call is the first long enough for a transform pass, or
  // outgrows the passes built so far (a few times at most: they double each time).
  Result<void, ResamplerError> process(std::span<const float> in, std::vector<float>& out);

  // Pushes T - 1 zeros through a fed filter so its tail comes out, appending to `out`.
  // Appends nothing when never fed, already flushed, or for Identity. Never fails.
  void flush(std::vector<float>& out);

  Form form() const { return design_.form; }
  State state() const { return state_; }
  uint32_t input_hz() const { return input_hz_; }
  uint32_t output_hz() const { return output_hz_; }
  // Prototype filter length N (0 for Identity).
  uint64_t filter_length() const { return design_.length; }
  // Coefficients per phase T (0 for Identity).
  uint64_t taps() const { return design_.taps; }
  // Delay of the filter's centre, in output frames (0 for Identity).
  uint64_t group_delay_frames() const { return design_.group_delay_frames; }
  // Coefficient k of phase row p, as used against the input k steps before the newest.
  double coefficient(uint64_t phase, uint64_t k) const { return design_.coefficient(phase, k); }

 private:
  Resampler(uint32_t input_hz, uint32_t output_hz, FilterDesign design);

  // Builds the transform passes for calls of `call_outputs` outputs, if none are built or
  // those are smaller, and lengthens the line to hold several.
  void prepare_passes(uint64_t call_outputs);
  // Appends `count` inputs (zeros when `in` is null) and every output they make due.
  void feed(const float* in, uint64_t count, std::vector<float>& out);
  // Moves what later outputs still read to the front of the line.
  void compact_line();
  // Outputs due once the line's inputs are in but not yet computed.
  uint64_t outputs_due() const;
  // The same counted from another clock.
  uint64_t outputs_due_from(uint64_t position, uint64_t next_input) const;
  // Computes whole overlap-save passes while the line holds their inputs, and at the end
  // of a call (`call_ends`) a partial one for enough due outputs. Returns false if a pass
  // was refused for its sample range, so the direct form must take over.
  bool emit_passes(std::vector<float>& out, bool call_ends);
  // Computes every output due, one dot product each.
  void emit_direct(std::vector<float>& out);
  // Moves a clock (phase or offset, and due input) on by one output. Defined here, as is
  // advance(), to be inlined into the loops that run them once per output.
  void step_clock(uint64_t& position, uint64_t& next_input) const {
    position += step_rest_;
    const bool carry = position >= design_.up;
    position -= carry ? design_.up : 0;
    next_input += step_whole_ + carry;
  }
  // Steps the output clock once; returns the input index the output was due on.
  uint64_t advance() {
    const uint64_t due_on = next_input_;
    step_clock(position_, next_input_);
    return due_on;
  }
  // Steps it `count` times at once.
  void advance_by(uint64_t count);
  void emit_rational(uint64_t count, float* out);
  void emit_sequences(uint64_t s, bool paired, const double* line, uint64_t window_stride,
                      uint64_t count, float* out, uint64_t out_stride) const;
  void emit_interpolated(uint64_t count, float* out);
  // Where the window of an output due on input `due_on` starts in the line.
  uint32_t window_start(uint64_t due_on) const {
    return static_cast<uint32_t>(int64_t(due_on) + 1 - int64_t(design_.taps) - line_first_);
  }

  uint32_t input_hz_;
  uint32_t output_hz_;
  FilterDesign design_;
  State state_ = State::Fresh;
  // Each output moves the clock on by `down` of 1/up input periods: step_whole_ whole
  // inputs and step_rest_ of those fractions.
  uint64_t step_whole_ = 0;
  uint64_t step_rest_ = 0;
  // The inputs as doubles, oldest first: history (zeros at start), then the inputs of the
  // current stretch. Every output's window is a contiguous slice, and compacting once per
  // stretch keeps the copying independent of the call sizes.
  std::vector<double> line_;
  uint64_t history_ = 0;    // inputs kept before the next output's due input
  uint64_t line_end_ = 0;   // samples held in line_
  int64_t line_first_ = 0;  // input index of line_[0]; negative for the initial zeros
  uint64_t position_ = 0;     // Rational: phase; Interpolated: offset in 1/out input periods
  uint64_t next_input_ = 0;   // index of the input on whose arrival the next output is due
  uint64_t inputs_seen_ = 0;
  // Whether OverlapSave suits the design; it is built on the first call long enough for
  // a pass, sized for that call.
  bool passes_suit_ = false;
  std::unique_ptr<OverlapSave> passes_;
  // Per-stretch scratch, sized at construction: the first L outputs' rows and windows
  // (Rational), or every output's blend job and its phase (Interpolated).
  std::vector<uint32_t> job_phase_;
  std::vector<uint32_t> job_window_;
  std::vector<BlendJob> blend_jobs_;
  std::vector<BlendJob> sorted_jobs_;
  std::vector<uint32_t> phase_first_;
};

}  // namespace murello
