// What a playback stream shares between its writers and its audio thread: the queue,
// the partial frame a write left over, the underrun counter and the error slot; and the
// audio thread's side of it, which fills each device buffer from the queue.
//
// Conventions: samples are interleaved float32 at the stream's channel count; counts
// are samples (all channels), not frames. Messages that write() queues hold whole frames
// only, so a write that ends inside a frame never shifts the channels of what follows.
//
// Threads: fill() and fail() run on the audio thread only; everything else may be
// called from any thread. The stream is playing while the queue is open: stop closes
// it, and so does a device error. fill() takes no lock and neither waits nor allocates.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devices/error_slot.hpp"
#include "playback/playback_queue.hpp"
#include "util/thread_annotations.hpp"

namespace murello {

class PlaybackFeed {
 public:
  explicit PlaybackFeed(uint16_t channels = 1) : channels_(channels) {}

  PlaybackQueue& queue() { return queue_; }

  // Queues the whole frames of `samples`, preceded by the partial frame the last write
  // left over; a trailing partial frame is kept for the next write. Waits while the
  // queue is full; false when the queue is closed.
  bool write(std::vector<float> samples) MURELLO_EXCLUDES(partial_mutex_);
  // write, waiting at most until `deadline`: when it passes first, `samples` and the
  // kept partial frame are left as they were.
  PlaybackQueue::Sent write_until(std::vector<float>& samples, PlaybackQueue::Deadline deadline)
      MURELLO_EXCLUDES(partial_mutex_);

  bool playing() const { return queue_.is_open(); }
  uint64_t underrun_samples() const { return underruns_.load(std::memory_order_relaxed); }

  // Audio thread: fills `out` completely: what was left of the last message first, then
  // queued messages in order; silence for what the queue cannot supply, counted as
  // underrun while playing. Once stopped it plays silence and drops what is queued.
  void fill(std::span<float> out);

  // Audio thread: the device failed. Keeps `message` for the next writer and stops
  // playing, which wakes blocked writers.
  void fail(std::string_view message);

  // Stops playing: writers blocked on a full queue wake up and fail.
  void stop() { queue_.close(); }

  // The device error, taken out of the slot: each error is reported once.
  std::optional<std::string> take_error() { return error_.take(); }
  // Whether the device failed, whether or not its error has been reported.
  bool device_failed() const { return error_.failed(); }

 private:
  // Copies from the carry-over into `out`; returns the number of samples copied.
  size_t take_carry(std::span<float> out) MURELLO_REQUIRES(audio_thread_);

  const uint16_t channels_;
  PlaybackQueue queue_;
  Mutex partial_mutex_;  // held across a write's send, so frames stay in order
  std::vector<float> partial_ MURELLO_GUARDED_BY(partial_mutex_);  // less than one frame
  std::atomic<uint64_t> underruns_{0};
  ErrorSlot error_;

  // Audio thread only: the message being played and how much of it has been.
  ThreadRole audio_thread_;
  const std::vector<float>* carry_ MURELLO_GUARDED_BY(audio_thread_) = nullptr;
  size_t carry_offset_ MURELLO_GUARDED_BY(audio_thread_) = 0;
};

}  // namespace murello
