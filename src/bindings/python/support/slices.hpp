// Waiting in slices. A call that may wait long (a microphone's read, a speaker's write
// and drain) waits without the interpreter lock at most kSignalCheckInterval at a time
// and runs the signal handlers with the lock in between, so that Ctrl-C raises
// KeyboardInterrupt within that interval, as it does during time.sleep: a signal does
// not wake the wait itself.
#pragma once

#include <Python.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

#include "bindings/python/support/pyref.hpp"

namespace murello::py {

inline constexpr std::chrono::milliseconds kSignalCheckInterval{50};

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// Calls `attempt(until)` without the interpreter lock, `until` never more than
// kSignalCheckInterval ahead nor past `deadline` (none: no end), until `finished` holds
// for its result or the deadline has passed, and returns that result. Between attempts
// it runs the signal handlers: when one raises, none with the exception set.
template <class Attempt, class Finished>
auto wait_in_slices(Deadline deadline, Attempt attempt, Finished finished)
    -> std::optional<decltype(attempt(deadline))> {
  using Clock = std::chrono::steady_clock;
  while (true) {
    auto result = [&] {
      GilRelease released;
      auto until = Clock::now() + kSignalCheckInterval;
      if (deadline) until = std::min(until, *deadline);
      return attempt(Deadline(until));
    }();
    if (finished(result) || (deadline && Clock::now() >= *deadline)) return result;
    if (PyErr_CheckSignals() < 0) return std::nullopt;
  }
}

}  // namespace murello::py
