// Real-time position of the test sound card: how many frames the "hardware" has moved
// since the stream started, derived from CLOCK_MONOTONIC so that the card runs at its
// rate whatever its client does. A stall freezes the position for a while and then lets
// it jump to where the clock says it should be, as a device whose DMA stopped would.
//
// Conventions: times are CLOCK_MONOTONIC nanoseconds, positions are frames from the
// start of the current run. Not thread-safe; the card guards it with its own mutex.
#pragma once

#include <cstdint>
#include <optional>

namespace testcard {

int64_t monotonic_ns();

class Pacer {
 public:
  struct Stall {
    uint64_t at_frame = 0;  // position at which delivery stops
    int64_t duration_ns = 0;
    // Afterwards the position goes on from where it stopped (a device that paused)
    // rather than jumping to where the clock says (a device whose transfers stopped).
    bool shift = false;
  };

  // `ppm`: how much faster (or, negative, slower) than CLOCK_MONOTONIC the device's
  // clock runs, in parts per million.
  void start(uint32_t rate_hz, int64_t now_ns, std::optional<Stall> stall, double ppm = 0);
  void pause(int64_t now_ns);
  // Resumes from the paused position; returns how long the pause lasted.
  int64_t resume(int64_t now_ns);

  bool paused() const { return paused_; }
  uint64_t position(int64_t now_ns) const;
  // The earliest time at which position() reaches `frame`.
  int64_t time_of(uint64_t frame) const;

 private:
  uint64_t elapsed_frames(int64_t now_ns) const;
  int64_t plain_time_of(uint64_t frame) const;

  uint32_t rate_hz_ = 1;
  double ppm_ = 0;
  int64_t start_ns_ = 0;
  bool paused_ = false;
  int64_t paused_at_ns_ = 0;
  std::optional<Stall> stall_;
};

}  // namespace testcard
