// Mono sample-rate conversion of 32-bit float streams.
//
// Conventions: rates are whole hertz (`_hz`); lengths and positions count samples of
// one mono stream (frames). Samples enter as float, are filtered in double precision
// and each output is rounded back to float. The output is not delay-compensated: it
// starts with the filter's ramp-in and `flush` appends its ramp-out.
//
// Threads: a Resampler is plain state; one thread at a time may call it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "resampler/design.hpp"
#include "resampler/dot.hpp"
#include "resampler/error.hpp"
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

  // Consumes every sample of `in` and appends every output that becomes due to `out`;
  // never removes anything from `out`. `in` must not point into `out`. Fails with
  // ProcessAfterFlush once flushed, even for an empty `in`. Allocates nothing beyond
  // growing `out`.
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

  template <class Source>
  void feed(uint64_t count, Source sample, std::vector<float>& out);
  bool advance(uint64_t index);
  void emit_rational(uint64_t index, std::vector<float>& out);
  void emit_interpolated(uint64_t index, std::vector<float>& out);

  uint32_t input_hz_;
  uint32_t output_hz_;
  FilterDesign design_;
  DotKernels dot_;
  std::vector<DotFn> row_dot_;  // Rational: the dot product for each phase's row
  State state_ = State::Fresh;
  // Doubled ring: every input is written at ring_pos and ring_pos + T, so the T most
  // recent inputs are always contiguous at [ring_pos + 1, ring_pos + T], newest last.
  std::vector<double> history_;
  uint64_t ring_pos_ = 0;
  uint64_t position_ = 0;     // Rational: phase; Interpolated: offset in 1/out input periods
  uint64_t next_input_ = 0;   // index of the input on whose arrival the next output is due
  uint64_t inputs_seen_ = 0;
};

}  // namespace murello
