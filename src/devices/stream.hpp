// A capture or playback stream on an ALSA device, run by one audio thread of its own.
//
// Conventions: samples are interleaved float32 at the stream's channel count; a period
// is `period_frames()` frames. The data callback runs once per period on the audio
// thread ("cpal_alsa_in" / "cpal_alsa_out") and must not block. The error callback runs
// there too, at most once, with ALSA's text, after which the stream delivers nothing
// more. An overrun or underrun is recovered on the audio thread and is no error; the
// frames a capture device lost in an overrun are reported to the loss callback.
//
// Threads: build, play, pause and the destructor are for the owner's thread(s) and may be
// called concurrently; none may be called from inside a callback. play and pause return
// once the audio thread has applied them; after pause or destruction returns no data
// callback runs (destruction also ends the error callback and closes the device).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "core/error.hpp"
#include "devices/device.hpp"
#include "util/result.hpp"

namespace murello {

struct StreamConfig {
  uint16_t channels = 0;
  uint32_t sample_rate_hz = 0;
  // Frames per period; none takes the layer's default period (about 10 ms).
  std::optional<uint32_t> period_frames;
};

// When the samples a playback stream hands its device will be heard.
struct OutputTiming {
  int64_t play_ns = 0;     // CLOCK_MONOTONIC time at which the buffer's first frame plays
  bool restarted = false;  // the device was (re)started since the last buffer
};

using InputCallback = std::function<void(std::span<const float> samples)>;
// Fill all of `samples`.
using OutputCallback = std::function<void(std::span<float> samples, const OutputTiming& timing)>;
using ErrorCallback = std::function<void(std::string_view message)>;
// Capture: frames the device captured but could not hand over (its buffer overran, or a
// recovery discarded them), reported on the audio thread once the stream runs again.
using LossCallback = std::function<void(uint64_t frames)>;

class AudioThread;

class Stream {
 public:
  // The stream is built paused. Fails with StreamOpenFailed and ALSA's text.
  static Result<Stream, CoreError> build_input(const DeviceHandle& device,
                                               const StreamConfig& config,
                                               InputCallback on_data, ErrorCallback on_error,
                                               LossCallback on_loss = nullptr);
  static Result<Stream, CoreError> build_output(const DeviceHandle& device,
                                                const StreamConfig& config,
                                                OutputCallback on_data, ErrorCallback on_error);

  Stream(Stream&&) noexcept;
  Stream& operator=(Stream&&) noexcept;
  ~Stream();  // drop: ends the audio thread, then closes the device

  // Starts or resumes delivery; a device that fails to resume is not reported here (its
  // failure reaches the error callback if it persists).
  void play();
  void pause();

  uint32_t period_frames() const;

 private:
  friend struct StreamBuilder;
  explicit Stream(std::unique_ptr<AudioThread> thread);
  std::unique_ptr<AudioThread> thread_;
};

}  // namespace murello
