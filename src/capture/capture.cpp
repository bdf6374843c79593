#include "capture/capture.hpp"

#include <utility>

#include "chain/denoise.hpp"
#include "chain/echo_stage.hpp"

namespace murello {
namespace {

// Tells the pipeline's readers that no period will come once the stream, which owns the
// callbacks holding the last copy of this, is dropped.
struct QueueSender {
  explicit QueueSender(std::shared_ptr<CapturePipeline> p) : pipeline(std::move(p)) {}
  QueueSender(const QueueSender&) = delete;
  QueueSender& operator=(const QueueSender&) = delete;
  ~QueueSender() { pipeline->close_queue(); }
  const std::shared_ptr<CapturePipeline> pipeline;
};

}  // namespace

CapturePipeline::Deadline deadline_after(std::optional<std::chrono::milliseconds> timeout) {
  using Clock = std::chrono::steady_clock;
  if (!timeout) return std::nullopt;
  const auto now = Clock::now();
  // A timeout beyond the clock's range waits as long as no timeout does.
  if (*timeout > std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() -
                                                                        now)) {
    return std::nullopt;
  }
  return now + *timeout;
}

Result<std::unique_ptr<Capture>, CoreError> Capture::create(SourceConfig config,
                                                            DeviceResolver resolve) {
  auto detector = CaptureDetector::create(detector_config(config));
  if (!detector) return std::move(detector).error();
  return std::unique_ptr<Capture>(
      new Capture(std::move(config), std::move(resolve), std::move(detector).value()));
}

Capture::Capture(SourceConfig config, DeviceResolver resolve, CaptureDetector detector)
    : config_(std::move(config)), resolve_(std::move(resolve)), detector_(std::move(detector)) {}

Capture::~Capture() { stop(); }

Result<void, CaptureError> Capture::start() {
  return lifecycle_.start([this] { return open_stream(); },
                          CaptureError(CaptureRefusal::AlreadyRunning));
}

Result<Capture::Lifecycle::Running, ConfigError> Capture::open_stream() {
  if (auto checked = check_capture_options(config_); !checked) return std::move(checked).error();
  auto device = resolve_();
  if (!device) return ConfigError(std::move(device).error());
  auto device_config = default_config(*device, Direction::Capture);
  if (!device_config) {
    const auto& fields = device_config.error().fields();
    return ConfigError(
        CoreError(ErrorKind::DeviceEnumerationFailed, fields.empty() ? "" : fields.front()));
  }
  const uint16_t device_channels = device_config->channels;
  const uint32_t device_rate_hz = device_config->sample_rate_hz;
  if (auto checked = check_capture_channels(config_, device_channels); !checked) {
    return ConfigError(std::move(checked).error());
  }

  StageFactories factories;
  factories.denoiser = make_denoiser_stage;
  std::shared_ptr<EchoReferenceQueue> reference;
  if (config_.aec) {
    factories.echo_canceller = EchoStage::create;
    reference = echo_link_ ? std::make_shared<EchoReferenceQueue>(echo_link_)
                           : std::make_shared<EchoReferenceQueue>(
                                 config_.aec_reference_sample_rate.value_or(config_.sample_rate),
                                 config_.aec_reference_channels.value_or(1));
  }
  const ChainFormat format{device_channels, config_.channels, device_rate_hz,
                           config_.sample_rate};
  auto chain = Chain::create(format, conditioning_config(config_, reference), factories);
  if (!chain) return ConfigError(std::move(chain).error());

  auto pipeline = std::make_shared<CapturePipeline>(std::move(chain).value(), config_.channels,
                                                    config_.frames_per_buffer, reference);
  auto sender = std::make_shared<QueueSender>(pipeline);
  auto stream = Stream::build_input(
      *device, StreamConfig{device_channels, device_rate_hz, config_.frames_per_buffer},
      [sender](std::span<const float> period) { sender->pipeline->on_period(period); },
      [sender](std::string_view message) { sender->pipeline->on_error(message); },
      [sender, period = config_.frames_per_buffer](uint64_t frames) {
        sender->pipeline->on_device_loss(frames, period);
      });
  sender.reset();
  if (!stream) return ConfigError(std::move(stream).error());
  stream->play();
  return Lifecycle::Running{std::move(pipeline), std::move(stream).value()};
}

void Capture::stop() { lifecycle_.stop(); }

void Capture::push_reference(std::span<const float> samples) {
  const std::shared_ptr<CapturePipeline> pipeline = lifecycle_.shared();
  if (pipeline && pipeline->reference()) pipeline->reference()->push(samples);
}

std::optional<Capture::EchoReport> Capture::echo_report() const {
  const std::shared_ptr<CapturePipeline> pipeline = lifecycle_.shared();
  if (!pipeline || !pipeline->reference()) return std::nullopt;
  auto channels = pipeline->echo_metrics();
  if (!channels || channels->empty()) return std::nullopt;
  return EchoReport{std::move(*channels), pipeline->reference()->discarded(),
                    pipeline->reference()->padded()};
}

Result<std::optional<CaptureBlock>, CaptureError> Capture::read(
    std::optional<std::chrono::milliseconds> timeout) {
  return read_until(deadline_after(timeout));
}

Result<std::optional<CaptureBlock>, CaptureError> Capture::read_until(
    CapturePipeline::Deadline deadline) {
  const std::shared_ptr<CapturePipeline> pipeline = lifecycle_.shared();
  if (!pipeline) return CaptureError(CaptureRefusal::NotRunning);
  auto block = pipeline->read(deadline);
  if (!block) return CaptureError(ConfigError(std::move(block).error()));
  if (*block) {
    if (auto scored = detector_.score(**block); !scored) {
      return CaptureError(ConfigError(std::move(scored).error()));
    }
  }
  return std::move(block).value();
}

bool Capture::is_running() const { return lifecycle_.running(); }

uint64_t Capture::overrun_count() const {
  const std::shared_ptr<CapturePipeline> pipeline = lifecycle_.shared();
  return pipeline ? pipeline->overrun_count() : 0;
}

}  // namespace murello
