#include "capture/capture_queue.hpp"

#include "util/futex.hpp"

namespace murello {

CaptureQueue::Offer CaptureQueue::offer(std::span<const float> period) {
  const uint64_t tail = tail_.load(std::memory_order_relaxed);
  if (tail - head_.load(std::memory_order_acquire) >= kCaptureQueueCapacity) return Offer::Full;
  slots_[tail % kCaptureQueueCapacity].assign(period.begin(), period.end());
  tail_.store(tail + 1, std::memory_order_release);
  wake();
  return Offer::Queued;
}

void CaptureQueue::close() {
  closed_.store(true, std::memory_order_release);
  wake();
}

bool CaptureQueue::take(std::vector<float>& out) {
  const uint64_t head = head_.load(std::memory_order_relaxed);
  if (head == tail_.load(std::memory_order_acquire)) return false;
  out.swap(slots_[head % kCaptureQueueCapacity]);
  head_.store(head + 1, std::memory_order_release);
  return true;
}

bool CaptureQueue::empty() const {
  return head_.load(std::memory_order_acquire) == tail_.load(std::memory_order_acquire);
}

void CaptureQueue::wait(std::chrono::nanoseconds limit) const {
  const uint32_t seen = signal_.load(std::memory_order_acquire);
  if (!empty() || closed()) return;
  // Returns at once if an offer or close bumped the word since `seen` was read.
  futex_wait(signal_, seen, limit);
}

void CaptureQueue::wake() {
  signal_.fetch_add(1, std::memory_order_release);
  futex_wake_all(signal_);
}

}  // namespace murello
