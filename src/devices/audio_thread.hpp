// The thread that runs one stream: it owns the PCM, waits on the PCM's poll descriptors
// and on a wake-up descriptor for its owner's requests, moves one period at a time
// between the device and the data callback, and recovers from xruns.
//
// Threads: the constructor, request() and the destructor belong to the owner; everything
// else runs on the audio thread. The audio thread takes no lock, never waits for the
// owner and allocates nothing while running: requests reach it through atomics and an
// eventfd, and it acknowledges them through an atomic the owner waits on.
#pragma once

#include <poll.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices/pcm.hpp"
#include "devices/stream.hpp"

namespace murello {

// An eventfd, closed on destruction.
class WakeFd {
 public:
  static Result<WakeFd, std::string> create();
  WakeFd(WakeFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  WakeFd& operator=(WakeFd&&) = delete;
  ~WakeFd();
  int fd() const { return fd_; }
  void signal() const;
  void drain() const;

 private:
  explicit WakeFd(int fd) : fd_(fd) {}
  int fd_;
};

class AudioThread {
 public:
  enum class Command : uint8_t { Pause, Play, Stop };

  struct Callbacks {
    InputCallback on_input;    // capture streams
    OutputCallback on_output;  // playback streams
    ErrorCallback on_error;
    LossCallback on_loss;      // capture streams; may be empty
  };

  // Starts the thread, paused. Fails only when the system cannot start a thread.
  static Result<std::unique_ptr<AudioThread>, std::string> start(Pcm pcm, Direction direction,
                                                                 uint16_t channels,
                                                                 Callbacks callbacks,
                                                                 WakeFd wake);
  AudioThread(Pcm pcm, Direction direction, uint16_t channels, Callbacks callbacks, WakeFd wake);
  ~AudioThread();  // stops the thread, then closes the PCM

  // Returns once the audio thread has applied the command.
  void request(Command command);
  uint32_t period_frames() const { return pcm_.period_frames; }

 private:
  void run();
  void apply_pending_command();
  bool command_pending() const;
  void start_device();
  void stop_device();
  void service_pcm(pollfd* fds, int count);
  void on_poll_error();
  void capture_periods();
  // Capture: how many frames were lost between the last look at the device and now.
  uint64_t frames_lost_since_last_look() const;
  void look_at_capture(uint64_t unread_frames);
  void playback_periods();
  void recover(int error);
  void fail(int error);

  Pcm pcm_;
  const Direction direction_;
  const uint16_t channels_;
  Callbacks callbacks_;
  WakeFd wake_;
  std::vector<pollfd> fds_;    // the wake-up descriptor, then the PCM's
  std::vector<float> period_;  // one period of interleaved samples
  uint32_t period_offset_ = 0; // capture: frames already read; playback: already written
  bool period_pending_ = false; // playback: period_ holds frames not yet written
  bool output_restarted_ = true; // playback: the device started since the last period

  std::mutex request_mutex_;  // serialises owners; never taken by the audio thread
  std::atomic<Command> wanted_{Command::Pause};
  std::atomic<uint64_t> requested_{0};
  std::atomic<uint64_t> served_{0};

  // Audio thread only.
  uint64_t applied_ = 0;
  int64_t last_look_ns_ = 0;   // capture: when the device's avail was last read ...
  uint64_t unread_frames_ = 0;  // ... and how much of it has not been read since
  bool delivering_ = false;
  bool ended_ = false;
  bool stopping_ = false;

  std::thread thread_;
};

}  // namespace murello
