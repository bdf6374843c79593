#include "playback/playback.hpp"

#include <chrono>
#include <thread>

#include "core/sanitise.hpp"

namespace murello {
namespace {

constexpr auto kDrainPoll = std::chrono::milliseconds(10);

// Why an output stream could not be built: a device with fewer channels than asked for
// says so; anything else is the backend's own refusal.
CoreError explain_open_failure(const DeviceHandle& device, uint16_t channels,
                               CoreError refusal) {
  // Too many channels for any device is refused before the device is asked.
  if (channels > kMaxStreamChannels) return refusal;
  auto config = default_config(device, Direction::Playback);
  if (config && config->channels != 0 && config->channels < channels) {
    const std::string detail = refusal.fields().empty() ? refusal.message() : refusal.fields()[0];
    return CoreError(ErrorKind::SpeakerChannelsUnsupported, channels, config->channels, detail);
  }
  return refusal;
}

}  // namespace

Playback::Playback(uint32_t sample_rate_hz, uint16_t channels, DeviceResolver resolve)
    : sample_rate_hz_(sample_rate_hz),
      channels_(channels),
      resolve_(std::move(resolve)),
      link_(std::make_shared<EchoLink>(sample_rate_hz, channels)) {}

Playback::~Playback() { stop(); }

Result<Playback::Lifecycle::Running, CoreError> Playback::open() const {
  auto device = resolve_();
  if (!device) return std::move(device).error();
  auto feed = std::make_shared<PlaybackFeed>(channels_);
  auto stream = Stream::build_output(
      *device, StreamConfig{channels_, sample_rate_hz_, std::nullopt},
      // The link outlives the stream: stop() drops the stream before the playback goes.
      [feed, link = link_.get()](std::span<float> out, const OutputTiming& timing) {
        feed->fill(out);
        link->feed(out, timing.play_ns, timing.restarted);
      },
      [feed](std::string_view message) { feed->fail(message); });
  if (!stream) return explain_open_failure(*device, channels_, std::move(stream).error());
  stream->play();
  return Lifecycle::Running{std::move(feed), std::move(stream).value()};
}

Result<void, CoreError> Playback::start() {
  return lifecycle_.start([this] { return open(); }, CoreError(ErrorKind::AlreadyRunning));
}

void Playback::stop() { lifecycle_.stop(); }

// A refused send: the device's error if one is waiting to be reported, else the stream
// was stopped.
CoreError Playback::failure(PlaybackFeed& feed) {
  if (auto error = feed.take_error()) return CoreError(ErrorKind::DeviceFailed, *error);
  return CoreError(ErrorKind::SpeakerStreamClosed);
}

std::shared_ptr<PlaybackFeed> Playback::feed_of(Pending& pending) const {
  if (!pending.feed) pending.feed = lifecycle_.shared();
  return pending.feed;
}

Result<void, CoreError> Playback::write(std::vector<float> samples) {
  Pending pending;
  auto written = write_until(samples, pending, std::nullopt);
  if (!written) return std::move(written).error();
  return {};
}

Result<bool, CoreError> Playback::write_until(std::vector<float>& samples, Pending& pending,
                                              Deadline deadline) {
  const bool first = !pending.feed;
  std::shared_ptr<PlaybackFeed> feed = feed_of(pending);
  if (!feed) return CoreError(ErrorKind::SpeakerStreamClosed);
  if (samples.empty()) return true;
  if (first) limit_for_output(samples);
  if (feed->playing()) {
    switch (feed->write_until(samples, deadline)) {
      case PlaybackQueue::Sent::Queued:
        return true;
      case PlaybackQueue::Sent::TimedOut:
        return false;
      case PlaybackQueue::Sent::Closed:
        break;
    }
  }
  return failure(*feed);
}

Result<void, CoreError> Playback::drain() {
  Pending pending;
  auto drained = drain_until(pending, std::nullopt);
  if (!drained) return std::move(drained).error();
  return {};
}

Result<bool, CoreError> Playback::drain_until(Pending& pending, Deadline deadline) {
  using Clock = std::chrono::steady_clock;
  std::shared_ptr<PlaybackFeed> feed = feed_of(pending);
  if (!feed) return CoreError(ErrorKind::SpeakerStreamClosed);
  std::optional<uint64_t>& ticket = pending.ticket;
  if (!ticket) {
    uint64_t queued = 0;
    switch (feed->queue().send_marker_until(queued, deadline)) {
      case PlaybackQueue::Sent::Queued:
        ticket = queued;
        break;
      case PlaybackQueue::Sent::TimedOut:
        return false;
      case PlaybackQueue::Sent::Closed:
        break;
    }
  }
  if (ticket) {
    while (feed->queue().markers_taken() < *ticket && feed->playing()) {
      if (deadline && Clock::now() >= *deadline) return false;
      auto pause = std::chrono::duration_cast<Clock::duration>(kDrainPoll);
      if (deadline) pause = std::min(pause, *deadline - Clock::now());
      std::this_thread::sleep_for(pause);
    }
    feed->queue().release_played();
  }
  if (auto error = feed->take_error()) return CoreError(ErrorKind::DeviceFailed, *error);
  // A dead device has taken nothing; only a stop from another thread ends a drain quietly.
  if (feed->device_failed()) return CoreError(ErrorKind::SpeakerStreamClosed);
  return true;
}

bool Playback::running() const { return lifecycle_.running(); }

uint64_t Playback::underrun_samples() const {
  const std::shared_ptr<PlaybackFeed> feed = lifecycle_.shared();
  return feed ? feed->underrun_samples() : 0;
}

}  // namespace murello
