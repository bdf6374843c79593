#include "sources/capture_queue.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace murello {
namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

uint32_t* futex_word(const std::atomic<uint32_t>& word) {
  return reinterpret_cast<uint32_t*>(const_cast<std::atomic<uint32_t>*>(&word));
}

}  // namespace

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
  if (!empty() || closed() || limit <= std::chrono::nanoseconds::zero()) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
  timespec timeout{static_cast<time_t>(seconds.count()),
                   static_cast<long>((limit - seconds).count())};
  // Returns at once if an offer or close bumped the word since `seen` was read.
  syscall(SYS_futex, futex_word(signal_), FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
}

void CaptureQueue::wake() {
  signal_.fetch_add(1, std::memory_order_release);
  syscall(SYS_futex, futex_word(signal_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace murello
