// EchoReferenceQueue: the far-end samples the caller pushes (what was played), carried to
// the echo-cancellation stage that runs inside read().
//
// Conventions: the queue holds mono float32 samples at the reference rate, at most two
// seconds of them. Pushes arrive interleaved at the reference channel count and are
// down-mixed frame by frame; a trailing partial frame is dropped. Neither side ever
// waits or fails: what does not fit is dropped and counted (discarded), and silence the
// stage inserts for a queue that ran short is counted too (padded).
//
// A queue may instead be linked to a speaker (echo_link.hpp): its far end then comes from
// the speaker's audio thread, already mono at the speaker's rate, and pushes are dropped
// (counted as discarded). Silence made up for a linked far end that ran short is owed to
// the link, which skips the far end that arrives late for that stretch, so the far end
// stays on the speaker's timeline. Far-end samples the link dropped count as discarded.
//
// Threads: push() on any caller thread, take() on the reading thread; the mutex is held
// only to append or remove. The counters are atomic and may be read at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <vector>

#include "echo/echo_link.hpp"

namespace murello {

class EchoReferenceQueue {
 public:
  EchoReferenceQueue(uint32_t reference_rate_hz, uint16_t reference_channels);
  // Linked: attaches to `link` as a capture that starts now; detaches when destroyed.
  explicit EchoReferenceQueue(std::shared_ptr<EchoLink> link);
  ~EchoReferenceQueue();
  EchoReferenceQueue(const EchoReferenceQueue&) = delete;
  EchoReferenceQueue& operator=(const EchoReferenceQueue&) = delete;

  // Down-mixes whole frames of `interleaved` and appends what fits; the newest samples
  // of a push that does not fit are dropped and counted as discarded.
  void push(std::span<const float> interleaved);

  // Removes up to `count` samples from the front and appends them to `out`. Returns
  // whether samples remain queued.
  bool take(size_t count, std::vector<float>& out);

  // Counts silence the consumer inserted because the queue ran short: `samples` at the
  // consumer's rate `rate_hz`.
  void add_padded(uint64_t samples, uint32_t rate_hz);

  uint64_t discarded() const;
  uint64_t padded() const { return padded_.load(std::memory_order_relaxed); }
  uint32_t rate_hz() const { return rate_hz_; }
  size_t limit() const { return limit_; }

 private:
  const uint32_t rate_hz_;
  const uint16_t channels_;
  const size_t limit_;  // two seconds of mono reference
  std::mutex mutex_;
  std::deque<float> samples_;
  std::atomic<uint64_t> discarded_{0};
  std::atomic<uint64_t> padded_{0};

  // Linked only.
  const std::shared_ptr<EchoLink> link_;
  uint64_t ticket_ = 0;
  uint64_t dropped_before_ = 0;    // the link's drops before this queue attached
  uint64_t owed_ = 0;              // reference-rate samples owed to the link so far
};

}  // namespace murello
