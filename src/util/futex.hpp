// Waiting on a 32-bit atomic word with a time limit, which std::atomic::wait cannot do:
// the queues between audio threads and their callers sleep on a counter that the other
// side bumps, and a caller waiting there must be able to give up after a while.
//
// Conventions: limits are nanoseconds; none waits until woken. Spurious returns are
// allowed: callers look again. Linux only (the futex system call).
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <optional>

namespace murello {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

inline uint32_t* futex_word(const std::atomic<uint32_t>& word) {
  return reinterpret_cast<uint32_t*>(const_cast<std::atomic<uint32_t>*>(&word));
}

// Sleeps while `word` holds `expected` (returns at once if it no longer does), at most
// `limit`.
inline void futex_wait(const std::atomic<uint32_t>& word, uint32_t expected,
                       std::optional<std::chrono::nanoseconds> limit) {
  timespec timeout{};
  if (limit) {
    if (*limit <= std::chrono::nanoseconds::zero()) return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*limit);
    timeout = {static_cast<time_t>(seconds.count()), static_cast<long>((*limit - seconds).count())};
  }
  syscall(SYS_futex, futex_word(word), FUTEX_WAIT_PRIVATE, expected, limit ? &timeout : nullptr,
          nullptr, 0);
}

// Wakes every thread sleeping on `word`.
inline void futex_wake_all(const std::atomic<uint32_t>& word) {
  syscall(SYS_futex, futex_word(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace murello
