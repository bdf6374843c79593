// ErrorSlot: where a stream's audio thread leaves the device's error for the reader or
// writer who reports it.
//
// Threads: keep() runs on the audio thread and takes the slot's mutex, which nothing
// holds for more than a moment (audio threads take no other lock); take() and failed()
// are for any thread.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "util/thread_annotations.hpp"

namespace murello {

class ErrorSlot {
 public:
  // Keeps `message`; the latest error wins.
  void keep(std::string_view message) {
    {
      MutexLock lock(mutex_);
      error_ = std::string(message);
    }
    failed_.store(true, std::memory_order_release);
  }

  // The error, taken out of the slot: each one is reported once.
  std::optional<std::string> take() {
    MutexLock lock(mutex_);
    return std::exchange(error_, std::nullopt);
  }

  // Whether an error was ever kept, whether or not it has been taken.
  bool failed() const { return failed_.load(std::memory_order_acquire); }

 private:
  Mutex mutex_;
  std::optional<std::string> error_ MURELLO_GUARDED_BY(mutex_);
  std::atomic<bool> failed_{false};
};

}  // namespace murello
