// OutputAlignment: the delivered signal of an offline conversion lined up with its input
// and exactly as long as it, as a converted file is expected to be.
//
// A resampling chain delivers its output late by the filter's group delay and, when
// flushed, runs on by the filter's ramp-out. The live path must take that latency as it
// comes; an offline conversion drops the first delay frames and ends the stream at
// round(input frames x output rate / input rate) frames, so that an event at input frame
// k comes out at round(k x out / in).
//
// Conventions: blocks are interleaved at `channels`; counts are frames.
//
// Threads: plain state, one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace murello {

// round(frames x output_hz / input_hz), halves up.
uint64_t converted_frames(uint64_t frames, uint32_t input_hz, uint32_t output_hz);

class OutputAlignment {
 public:
  OutputAlignment(uint64_t delay_frames, uint16_t channels, uint32_t input_hz,
                  uint32_t output_hz);

  // Drops what is still owed to the delay from the front of block[from ...], where the
  // chain's latest output starts.
  void take(std::vector<float>& block, size_t from = 0);

  // Ends the stream after the chain's tail was taken: trims block[from ...] (padding
  // with silence should the tail fall short) so that everything delivered adds up to
  // converted_frames(input_frames, ...).
  void finish(uint64_t input_frames, std::vector<float>& block, size_t from = 0);

 private:
  uint64_t to_drop_frames_;
  uint64_t delivered_frames_ = 0;
  uint16_t channels_;
  uint32_t input_hz_;
  uint32_t output_hz_;
};

}  // namespace murello
