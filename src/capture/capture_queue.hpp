// CaptureQueue: the device periods on their way from the audio thread to the readers.
//
// Conventions: a message is one device period, interleaved float32 at the device's
// channel count. The queue holds at most kCaptureQueueCapacity messages, not samples.
//
// Threads: one sender (the audio thread) calls offer() and close(); it never waits, takes
// no lock and allocates only while the slots first grow to the period size. Receivers
// serialise take() among themselves (the capture stream calls it under its pipeline
// mutex) and may call wait() from any number of threads without a lock.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

namespace murello {

inline constexpr size_t kCaptureQueueCapacity = 64;

class CaptureQueue {
 public:
  enum class Offer : uint8_t { Queued, Full };

  // Sender: copies the period into the next free slot, or reports Full and drops it.
  Offer offer(std::span<const float> period);
  // Sender: no more messages will come; wakes every waiter.
  void close();

  // Receiver: swaps the oldest message into `out` (its old storage becomes the slot's,
  // so steady streaming allocates nothing). False when the queue is empty.
  bool take(std::vector<float>& out);
  // Receiver: waits until a message may be waiting, the queue is closed, or `limit`
  // passed. Spurious returns are allowed; callers look again.
  void wait(std::chrono::nanoseconds limit) const;

  bool closed() const { return closed_.load(std::memory_order_acquire); }
  bool empty() const;

 private:
  void wake();

  std::array<std::vector<float>, kCaptureQueueCapacity> slots_;
  std::atomic<uint64_t> head_{0};  // next message to take
  std::atomic<uint64_t> tail_{0};  // next slot to fill
  std::atomic<bool> closed_{false};
  // Bumped on every offer and on close; waiters sleep on it with a futex.
  mutable std::atomic<uint32_t> signal_{0};
};

}  // namespace murello
