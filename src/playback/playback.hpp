// Playback: the engine behind a speaker. It opens an output device at the caller's rate
// and channel count, takes chunks of samples from writers, feeds them to the device from
// the stream's audio thread, fills shortfalls with silence (counted as underrun) and
// lets a caller wait until everything written has been taken.
//
// Conventions: samples are interleaved float32 at the opened channel count, played as
// written (no resampling or conversion) within +-1.0; counts are samples, all channels.
//
// Threads: every member may be called from any thread, concurrently. start and stop go
// through the stream lifecycle's gate (devices/stream_lifecycle.hpp) and wait out each
// other; write and drain block (write while 32 messages are queued, drain until its turn
// comes) and never hold the gate while they wait. A stop from another thread wakes blocked writers and drainers. The
// `_until` forms give up at a deadline and may be called again to go on waiting, so that
// a caller can look at other things (signals) now and then.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "echo/echo_link.hpp"
#include "core/error.hpp"
#include "devices/device.hpp"
#include "devices/selection.hpp"
#include "devices/stream.hpp"
#include "playback/playback_feed.hpp"
#include "devices/stream_lifecycle.hpp"
#include "util/result.hpp"

namespace murello {

class Playback {
 public:
  // None waits as long as it takes.
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;
  // A write or drain carried across calls of the `_until` forms: the stream it began on
  // (so that a stop ends it even when another stream has started since) and a drain's
  // place in that stream's queue. Empty at the first call.
  struct Pending {
    std::shared_ptr<PlaybackFeed> feed;
    std::optional<uint64_t> ticket;
  };

  // `resolve` finds the output device at each start.
  Playback(uint32_t sample_rate_hz, uint16_t channels, DeviceResolver resolve);
  ~Playback();  // stops
  Playback(const Playback&) = delete;
  Playback& operator=(const Playback&) = delete;

  // Opens the device at the backend's default period and starts playing silence (which
  // counts as underrun) until the first write. Fails with AlreadyRunning while running;
  // with the resolver's error; with SpeakerChannelsUnsupported when the device cannot
  // be opened and reports fewer channels than asked for; else with StreamOpenFailed.
  Result<void, CoreError> start();

  // Queues `samples` as one message, waiting while the queue is full; an empty write
  // does nothing. Samples are made safe to play first (limit_for_output: non-finite ones
  // silenced, the rest clipped to +-1.0), and a trailing partial frame waits for the
  // rest of its frame in the next write. Fails with SpeakerStreamClosed when not running
  // or stopped meanwhile, and with DeviceFailed (once) after a device error.
  Result<void, CoreError> write(std::vector<float> samples);
  // write, waiting at most until `deadline`: false when it passed first, `samples` then
  // kept (already made safe) for the next call; moved from once queued.
  Result<bool, CoreError> write_until(std::vector<float>& samples, Pending& pending,
                                      Deadline deadline);

  // Returns once every message written before the call has been taken by the audio
  // thread (its last samples may still be on their way to the speaker), or once the
  // stream stops playing. Fails as write does.
  Result<void, CoreError> drain();
  // drain, waiting at most until `deadline`: false when it passed first.
  Result<bool, CoreError> drain_until(Pending& pending, Deadline deadline);

  // Ends the stream, discarding what is queued. Never fails; does nothing when idle.
  void stop();

  bool running() const;
  // Samples of silence played because the queue ran dry; 0 when not running.
  uint64_t underrun_samples() const;

  // The link through which this speaker's audio thread hands every buffer it plays to
  // a microphone's echo canceller (see echo/echo_link.hpp); the same for the
  // playback's whole life, whether or not it runs or a microphone is attached.
  const std::shared_ptr<EchoLink>& echo_link() const { return link_; }

 private:
  using Lifecycle = StreamLifecycle<PlaybackFeed>;

  Result<Lifecycle::Running, CoreError> open() const;
  // The pending call's stream, the running one at its first call.
  std::shared_ptr<PlaybackFeed> feed_of(Pending& pending) const;
  static CoreError failure(PlaybackFeed& feed);

  const uint32_t sample_rate_hz_;
  const uint16_t channels_;
  const DeviceResolver resolve_;
  const std::shared_ptr<EchoLink> link_;
  Lifecycle lifecycle_;
};

}  // namespace murello
