#include "devices/stream.hpp"

#include <string>

#include "devices/audio_thread.hpp"
#include "devices/pcm.hpp"

namespace murello {
namespace {

Result<Stream, CoreError> open_failed(std::string detail) {
  return CoreError(ErrorKind::StreamOpenFailed, detail);
}

}  // namespace

struct StreamBuilder {
  static Result<Stream, CoreError> build(const DeviceHandle& device, Direction direction,
                                         const StreamConfig& config,
                                         AudioThread::Callbacks callbacks) {
    if (config.channels > kMaxStreamChannels) {
      return open_failed("the platform supports at most " + std::to_string(kMaxStreamChannels) +
                         (direction == Direction::Capture ? " input" : " output") +
                         " channels, and " + std::to_string(config.channels) +
                         " were requested");
    }
    auto wake = WakeFd::create();
    if (!wake) return open_failed(std::move(wake).error());
    PcmRequest request{config.channels, config.sample_rate_hz, config.period_frames};
    auto pcm = open_pcm(device.pcm_name, direction, request);
    if (!pcm) return open_failed(std::move(pcm).error());
    auto thread = AudioThread::start(std::move(pcm).value(), direction, config.channels,
                                     std::move(callbacks), std::move(wake).value());
    if (!thread) return open_failed(std::move(thread).error());
    return Stream(std::move(thread).value());
  }
};

Result<Stream, CoreError> Stream::build_input(const DeviceHandle& device,
                                              const StreamConfig& config, InputCallback on_data,
                                              ErrorCallback on_error, LossCallback on_loss) {
  return StreamBuilder::build(
      device, Direction::Capture, config,
      {std::move(on_data), nullptr, std::move(on_error), std::move(on_loss)});
}

Result<Stream, CoreError> Stream::build_output(const DeviceHandle& device,
                                               const StreamConfig& config,
                                               OutputCallback on_data, ErrorCallback on_error) {
  return StreamBuilder::build(device, Direction::Playback, config,
                              {nullptr, std::move(on_data), std::move(on_error), nullptr});
}

Stream::Stream(std::unique_ptr<AudioThread> thread) : thread_(std::move(thread)) {}
Stream::Stream(Stream&&) noexcept = default;
Stream& Stream::operator=(Stream&&) noexcept = default;
Stream::~Stream() = default;

void Stream::play() {
  if (thread_) thread_->request(AudioThread::Command::Play);
}

void Stream::pause() {
  if (thread_) thread_->request(AudioThread::Command::Pause);
}

uint32_t Stream::period_frames() const { return thread_ ? thread_->period_frames() : 0; }

}  // namespace murello
