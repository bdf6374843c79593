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
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices/pcm.hpp"
#include "devices/stream.hpp"
#include "util/thread_annotations.hpp"

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
  void request(Command command) MURELLO_EXCLUDES(request_mutex_);
  uint32_t period_frames() const { return pcm_.period_frames; }

 private:
  void run();
  // The rest runs on the audio thread, which run() enters.
  void apply_pending_command() MURELLO_REQUIRES(audio_thread_);
  bool command_pending() const MURELLO_REQUIRES(audio_thread_);
  void start_device() MURELLO_REQUIRES(audio_thread_);
  void stop_device() MURELLO_REQUIRES(audio_thread_);
  void service_pcm(pollfd* fds, int count) MURELLO_REQUIRES(audio_thread_);
  void on_poll_error() MURELLO_REQUIRES(audio_thread_);
  void capture_periods() MURELLO_REQUIRES(audio_thread_);
  // Capture: how many frames were lost between the last look at the device and now.
  uint64_t frames_lost_since_last_look() const MURELLO_REQUIRES(audio_thread_);
  void look_at_capture(uint64_t unread_frames) MURELLO_REQUIRES(audio_thread_);
  void playback_periods() MURELLO_REQUIRES(audio_thread_);
  void recover(int error) MURELLO_REQUIRES(audio_thread_);
  void fail(int error) MURELLO_REQUIRES(audio_thread_);

  Pcm pcm_;
  const Direction direction_;
  const uint16_t channels_;
  Callbacks callbacks_;
  WakeFd wake_;
  std::vector<pollfd> fds_;    // the wake-up descriptor, then the PCM's

  Mutex request_mutex_;  // serialises owners; never taken by the audio thread
  std::atomic<Command> wanted_{Command::Pause};
  std::atomic<uint64_t> requested_{0};
  std::atomic<uint64_t> served_{0};

  // Audio thread only.
  ThreadRole audio_thread_;
  // One period of interleaved samples.
  std::vector<float> period_ MURELLO_GUARDED_BY(audio_thread_);
  // Capture: frames already read; playback: already written.
  uint32_t period_offset_ MURELLO_GUARDED_BY(audio_thread_) = 0;
  // Playback: period_ holds frames not yet written.
  bool period_pending_ MURELLO_GUARDED_BY(audio_thread_) = false;
  // Playback: the device started since the last period.
  bool output_restarted_ MURELLO_GUARDED_BY(audio_thread_) = true;
  uint64_t applied_ MURELLO_GUARDED_BY(audio_thread_) = 0;
  // Capture: when the device's avail was last read, and how much of it has not been read
  // since.
  int64_t last_look_ns_ MURELLO_GUARDED_BY(audio_thread_) = 0;
  uint64_t unread_frames_ MURELLO_GUARDED_BY(audio_thread_) = 0;
  bool delivering_ MURELLO_GUARDED_BY(audio_thread_) = false;
  bool ended_ MURELLO_GUARDED_BY(audio_thread_) = false;
  bool stopping_ MURELLO_GUARDED_BY(audio_thread_) = false;

  std::thread thread_;
};

}  // namespace murello
