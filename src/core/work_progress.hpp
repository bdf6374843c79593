// WorkProgress: how far a long offline call (a whole-file analysis) has come, for another
// thread to show, and that thread's request to stop it early.
//
// Threads: the working thread adds to `frames` and reads `stop`; any thread reads
// `frames` and sets `stop`.
#pragma once

#include <atomic>
#include <cstdint>

namespace murello {

struct WorkProgress {
  std::atomic<uint64_t> frames{0};  // delivered frames processed so far
  std::atomic<bool> stop{false};
};

}  // namespace murello
