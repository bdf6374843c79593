// StreamLifecycle: the start/stop gate that a live stream (capture or playback) goes
// through, and the running stream it keeps: the device stream and the state its audio
// thread shares with readers or writers.
//
// Lifecycle: idle -> starting -> running -> stopping -> idle, any number of times. A start
// opens everything through the caller's `open`, without the gate's lock (opening a device
// takes a while); a failure there leaves it idle. A stop stops the shared state first, so
// that the audio thread hands over nothing more while the device closes, then drops the
// stream and its share of the state.
//
// Threads: every member may be called from any thread, concurrently. Start and stop
// serialise on the gate's mutex: a caller arriving while another is between states waits
// on the condition variable; the mutex is never held while a device opens or closes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "devices/stream.hpp"
#include "util/result.hpp"
#include "util/thread_annotations.hpp"

namespace murello {

// `Shared` is what the audio thread shares with the stream's callers; its stop() tells
// the audio thread to deliver nothing more.
template <class Shared>
class StreamLifecycle {
 public:
  struct Running {
    std::shared_ptr<Shared> shared;
    Stream stream;
  };

  StreamLifecycle() = default;
  StreamLifecycle(const StreamLifecycle&) = delete;
  StreamLifecycle& operator=(const StreamLifecycle&) = delete;
  ~StreamLifecycle() { stop(); }

  // Opens a stream with `open` (returning a Result of Running and an error that converts
  // to Error) unless one runs: fails with `refusal` while one runs, without calling
  // `open`, else with open's error.
  template <class Error, class Open>
  Result<void, Error> start(Open&& open, Error refusal) MURELLO_EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      while (!settled()) lock.wait(changed_);
      if (state_ == State::Running) return refusal;
      state_ = State::Starting;
    }
    auto opened = open();
    {
      MutexLock lock(mutex_);
      if (opened) running_.emplace(std::move(opened).value());
      state_ = running_ ? State::Running : State::Idle;
    }
    changed_.notify_all();
    if (!opened) return Error(std::move(opened).error());
    return {};
  }

  // Ends the running stream; does nothing when idle.
  void stop() MURELLO_EXCLUDES(mutex_) {
    std::optional<Running> running;
    {
      MutexLock lock(mutex_);
      while (!settled()) lock.wait(changed_);
      if (state_ == State::Idle) return;
      running = std::exchange(running_, std::nullopt);
      state_ = State::Stopping;
    }
    running->shared->stop();
    running.reset();
    {
      MutexLock lock(mutex_);
      state_ = State::Idle;
    }
    changed_.notify_all();
  }

  // The running stream's shared state; null unless running.
  std::shared_ptr<Shared> shared() const MURELLO_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return running_ ? running_->shared : nullptr;
  }

  bool running() const MURELLO_EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return state_ == State::Running;
  }

 private:
  enum class State : uint8_t { Idle, Starting, Running, Stopping };

  // Neither starting nor stopping.
  bool settled() const MURELLO_REQUIRES(mutex_) {
    return state_ == State::Idle || state_ == State::Running;
  }

  mutable Mutex mutex_;
  std::condition_variable changed_;
  State state_ MURELLO_GUARDED_BY(mutex_) = State::Idle;
  std::optional<Running> running_ MURELLO_GUARDED_BY(mutex_);  // while running
};

}  // namespace murello
