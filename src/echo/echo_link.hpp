// EchoLink: a speaker tied to a microphone's echo canceller. The speaker's audio thread
// hands over exactly the samples it gives the device, when it gives them; the
// microphone's echo-cancellation stage takes them as its far end.
//
// Conventions: the link carries mono float32 at the speaker's rate; the speaker's frames
// are down-mixed (the mean of their channels) on the way in. Times are CLOCK_MONOTONIC
// nanoseconds. The far end is kept on one timeline with the capture: sample k of it is
// what the speaker plays k samples after the capture started. Silence the device plays
// (underruns, the time before the first write) arrives as ordinary samples; time during
// which the device plays nothing (stopped, restarting after an underrun of its buffer,
// stalled) arrives as a gap, which the stage takes as silence.
//
// Threads: one producer (the speaker's audio thread: feed) and one consumer at a time
// (the reading thread of the capture stream that attached last: take, owe). attach and
// detach belong to the capture's owner. feed takes no lock, never waits and never
// allocates; the ring is allocated once, by the first attach, and lives as long as the
// link. Starting, stopping and failing on either side need no coordination: a speaker
// that is not running feeds nothing, and a capture that is not attached is fed nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "util/thread_annotations.hpp"

namespace murello {

class EchoLink {
 public:
  EchoLink(uint32_t rate_hz, uint16_t channels);

  uint32_t rate_hz() const { return rate_hz_; }

  // Owner: a capture starting at `origin_ns` becomes the consumer (any earlier one is
  // cut off); the ring is allocated on the first call. Returns the attachment's ticket.
  uint64_t attach(int64_t origin_ns) MURELLO_EXCLUDES(attach_mutex_);
  // Owner: the capture with `ticket` stops being fed, unless another attached since.
  void detach(uint64_t ticket) MURELLO_EXCLUDES(attach_mutex_);

  // Producer: the buffer the device was just given, interleaved at the speaker's
  // channel count, whose first frame plays at `play_ns`; `restarted` when the device
  // was (re)started since the last buffer.
  void feed(std::span<const float> interleaved, int64_t play_ns, bool restarted);

  // Consumer: up to `count` samples of the far end for the capture with `ticket`,
  // appended to `out`; fewer when the speaker has not fed them yet. Returns whether
  // more are waiting.
  bool take(uint64_t ticket, size_t count, std::vector<float>& out);
  // Consumer: the stage made up `count` samples with silence because take ran short;
  // the far end that arrives for that stretch later is skipped, keeping the timeline.
  void owe(uint64_t ticket, uint64_t count);

  // Samples the producer dropped because the consumer fell two seconds behind.
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  struct Consumer {
    uint64_t ticket = 0;
    uint64_t debt = 0;  // far-end samples to skip: their time was filled with silence
    uint64_t gap = 0;   // silence still to hand out from a gap record
  };

  // Producer helpers.
  void start_timeline(uint64_t ticket) MURELLO_REQUIRES(producer_);
  void place(int64_t play_ns, bool forced) MURELLO_REQUIRES(producer_);
  void write_gap(uint64_t samples) MURELLO_REQUIRES(producer_);
  bool write_slot(float value) MURELLO_REQUIRES(producer_);
  uint64_t free_slots() const MURELLO_REQUIRES(producer_);

  // Consumer helpers.
  bool ready(uint64_t ticket) MURELLO_REQUIRES(consumer_role_);
  bool next_sample(float& value) MURELLO_REQUIRES(consumer_role_);

  const uint32_t rate_hz_;
  const uint16_t channels_;
  Mutex attach_mutex_;  // owners only
  std::unique_ptr<float[]> ring_storage_ MURELLO_GUARDED_BY(attach_mutex_);  // never freed early
  std::atomic<float*> ring_{nullptr};
  size_t capacity_ = 0;  // set with the ring, before ring_ publishes it
  std::atomic<uint64_t> ticket_{0};  // the attached capture's ticket; 0 for none
  std::atomic<int64_t> origin_ns_{0};
  std::atomic<uint64_t> write_{0};  // producer: slots written
  std::atomic<uint64_t> read_{0};   // consumer: slots read
  std::atomic<uint64_t> started_ticket_{0};  // the ticket the producer's timeline is for
  std::atomic<uint64_t> started_at_{0};      // ... and the slot it began at
  std::atomic<uint64_t> dropped_{0};

  // Producer only.
  ThreadRole producer_;
  uint64_t producer_ticket_ MURELLO_GUARDED_BY(producer_) = 0;
  int64_t origin_copy_ns_ MURELLO_GUARDED_BY(producer_) = 0;
  // The slot this timeline began at.
  uint64_t timeline_start_ MURELLO_GUARDED_BY(producer_) = 0;
  // Timeline samples placed so far (gaps included).
  uint64_t fed_ MURELLO_GUARDED_BY(producer_) = 0;
  // Frames of the next buffers that overlap what was fed.
  uint64_t skip_ MURELLO_GUARDED_BY(producer_) = 0;
  // How far the device's clock has wandered from the timeline.
  double drift_samples_ MURELLO_GUARDED_BY(producer_) = 0;
  bool synced_ MURELLO_GUARDED_BY(producer_) = false;

  // Consumer only (one at a time).
  ThreadRole consumer_role_;
  Consumer consumer_ MURELLO_GUARDED_BY(consumer_role_);
};

}  // namespace murello
