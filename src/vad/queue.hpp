// DetectorQueue: the mono detector signal of a file or buffer source, held between reads.
//
// Conventions: samples are mono 32-bit floats at the detector rate (hz). The detector
// rate is the delivered rate, except that the model detector, which runs only at 8000 or
// 16000 hz, hears other rates through a resampler to 16000 hz placed in front of the
// queue. The queue keeps at most two seconds at the detector rate: an append that would
// make it longer drops the oldest samples.
//
// Threads: owned by one source; one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "core/error.hpp"
#include "resampler/polyphase.hpp"
#include "util/result.hpp"

namespace murello {

// The rate a detector of `kind` hears for a source delivering `delivered_hz`.
uint32_t detector_rate_hz(DetectorKind kind, uint32_t delivered_hz);

class DetectorQueue {
 public:
  // Fails as the resampler's construction does (SampleRateOutOfRange,
  // ResampleConfigInvalid) when one is needed.
  static Result<DetectorQueue, CoreError> create(DetectorKind kind, uint32_t delivered_hz);

  // Appends a block of the delivered-rate mono signal, resampled when needed. Fails with
  // ResampleAfterFlush after flush().
  Result<void, CoreError> push(std::span<const float> mono);
  // Appends the resampler's tail at the end of the source; nothing without a resampler.
  void flush();
  // Moves the whole content to the end of `out`, leaving the queue empty.
  void drain(std::vector<float>& out);

  uint32_t rate_hz() const { return rate_hz_; }
  size_t capacity() const { return capacity_; }
  size_t size() const { return size_; }
  bool resamples() const { return resampler_.has_value(); }

 private:
  DetectorQueue(uint32_t rate_hz, std::optional<Resampler> resampler);
  void append(std::span<const float> samples);

  uint32_t rate_hz_;
  size_t capacity_;
  std::optional<Resampler> resampler_;
  std::vector<float> resampled_;  // the resampler's output of one push
  // A ring of capacity_ samples; the oldest sample sits at head_.
  std::vector<float> ring_;
  size_t head_ = 0;
  size_t size_ = 0;
};

}  // namespace murello
