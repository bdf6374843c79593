// The playback queue: chunks of samples on their way from writers to a playback stream's
// audio thread, bounded at 32 messages.
//
// Conventions: a message is interleaved float32 samples of any length; an empty message
// is a drain marker, which the receiver counts and never hands out.
//
// Threads: any number of senders (send, send_marker, release_played, close), one
// receiver (try_receive, discard_all: the audio thread). Senders block while 32 messages
// wait (until 24 are left), as long as it takes or until a deadline, then claim a slot
// under a mutex; the receiver takes no lock, never waits and never allocates or frees. It only tells the senders which messages it has
// finished playing, and a sender frees their storage: at its next send or drain.
// The queue is open from construction until close(); afterwards every send fails at
// once, and blocked senders wake up and fail.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace murello {

class PlaybackQueue {
 public:
  // When a sender gives up waiting; none waits as long as it takes.
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;
  enum class Sent : uint8_t { Queued, Closed, TimedOut };

  static constexpr size_t kCapacity = 32;
  // A sender that found the queue full goes on once this many messages are left, so
  // that a writer paced by the queue wakes once per eight messages rather than per
  // message.
  static constexpr size_t kResumeLevel = kCapacity - 8;

  // Queues `samples`, waiting while the queue is full; nothing is queued for an empty
  // message. False when the queue is closed. Frees the storage of the messages played
  // since the last send, on the sender's thread.
  bool send(std::vector<float> samples);
  // send, waiting at most until `deadline`; `samples` is moved from only when Queued.
  Sent send_until(std::vector<float>& samples, Deadline deadline);

  // Queues a drain marker, waiting while the queue is full. Returns the number of
  // markers the receiver must have taken for this one to be taken (tickets are handed
  // out in queue order), or none when the queue is closed.
  std::optional<uint64_t> send_marker();
  // send_marker, waiting at most until `deadline`; `ticket` is set when Queued.
  Sent send_marker_until(uint64_t& ticket, Deadline deadline);

  // Frees the storage of the messages the receiver has finished with, unless a sender
  // holds the queue (it frees them itself once it goes on).
  void release_played();

  void close();
  bool is_open() const { return open_.load(std::memory_order_acquire); }
  uint64_t markers_taken() const { return markers_taken_.load(std::memory_order_acquire); }

  // Receiver: the next message with samples, counting the markers before it; nullptr
  // when none waits. The message stays readable until the next try_receive or
  // discard_all, which mark it finished.
  const std::vector<float>* try_receive();
  // Receiver: takes and drops every waiting message, counting its markers.
  void discard_all();

 private:
  // One slot more than the capacity: the receiver may still be reading the message it
  // took last while 32 others wait.
  static constexpr size_t kSlots = kCapacity + 1;

  // Waits without the send mutex until a message may fit (once it had to wait, until
  // kResumeLevel are left): Queued then, else Closed or TimedOut.
  Sent wait_for_room(Deadline deadline);
  // Hands the next free slot to `fill` under the send mutex and publishes it.
  template <class Fill>
  Sent send_message(Deadline deadline, Fill fill);
  // Frees the finished messages' storage; the caller holds `send_mutex_`.
  void free_finished();
  void wake_senders();

  std::array<std::vector<float>, kSlots> slots_;
  std::mutex send_mutex_;  // never taken by the receiver, nor held while waiting
  uint64_t markers_sent_ = 0;                // under send_mutex_
  std::atomic<uint64_t> sent_{0};            // messages published
  std::atomic<uint64_t> received_{0};        // messages taken by the receiver
  std::atomic<uint64_t> finished_{0};        // messages the receiver is done reading
  uint64_t freed_ = 0;                       // under send_mutex_: messages freed
  std::atomic<uint64_t> markers_taken_{0};
  std::atomic<uint32_t> progress_{0};        // changes when a blocked sender may go on
  std::atomic<uint32_t> sleepers_{0};        // senders asleep on progress_
  std::atomic<bool> open_{true};
  uint64_t next_ = 0;                        // receiver only: the next message to take
};

}  // namespace murello
