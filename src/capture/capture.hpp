// Capture: a microphone as a source of conditioned, scored blocks: the engine behind
// MicrophoneBridge.
//
// Conventions: a block is frames_per_buffer frames at the delivered channel count and
// rate, interleaved float32. Timeouts are milliseconds.
//
// Lifecycle: idle -> starting -> running -> stopping -> idle, any number of times. start()
// resolves the device afresh, matches its channels, builds the chain, the period queue
// and the stream; a failure on the way drops everything built and leaves it idle. stop()
// ends the stream (periods not yet read are lost). Each start begins with fresh
// counters. The voice-activity detector is built with the Capture and lives as long.
//
// Threads: every method may be called from any number of threads at once. Start and stop
// go through the stream lifecycle's gate (devices/stream_lifecycle.hpp), which is never
// held while audio is awaited; readers share the running stream's pipeline by
// reference, so stop() never waits for them.
// Nothing here touches Python.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>

#include "echo/echo_link.hpp"
#include "core/config.hpp"
#include "core/config_error.hpp"
#include "devices/selection.hpp"
#include "devices/stream.hpp"
#include "capture/voice_detector.hpp"
#include "capture/capture_pipeline.hpp"
#include "devices/stream_lifecycle.hpp"
#include "util/result.hpp"

namespace murello {

// Refusals of the bridge's own, raised with texts of their own rather than a kind's.
enum class CaptureRefusal : uint8_t {
  AlreadyRunning,  // start() while a stream exists
  NotRunning,      // read() without a stream
};

using CaptureError = std::variant<ConfigError, CaptureRefusal>;

// The moment `timeout` from now; none for no timeout or one beyond the clock's range.
CapturePipeline::Deadline deadline_after(std::optional<std::chrono::milliseconds> timeout);

class Capture {
 public:
  // `config` has passed check_format and check_capture_options. Builds the detector
  // (its construction errors).
  // `resolve` finds the input device at each start.
  static Result<std::unique_ptr<Capture>, CoreError> create(SourceConfig config,
                                                            DeviceResolver resolve);
  ~Capture();

  // Errors in order: AlreadyRunning; the configuration checks again; the device's
  // selection errors; DeviceEnumerationFailed when its configuration cannot be read; the
  // channel selection kinds; the chain's construction errors; StreamOpenFailed.
  Result<void, CaptureError> start();

  // One block, or nothing when `timeout` ran out (none waits as long as it takes). See
  // CapturePipeline::read for the end of a stream; a detector error fails the read and
  // loses the block. NotRunning without a stream.
  Result<std::optional<CaptureBlock>, CaptureError> read(
      std::optional<std::chrono::milliseconds> timeout);
  // read, waiting at most until `deadline` (none: as long as it takes).
  Result<std::optional<CaptureBlock>, CaptureError> read_until(CapturePipeline::Deadline deadline);

  // Never fails; does nothing without a stream.
  void stop();

  // Ties the echo canceller's far end to a speaker: from the next start on, the far end
  // is what the speaker plays, handed over by its audio thread, and pushes are dropped.
  // For the owner, before the capture is shared between threads.
  void link_echo_reference(std::shared_ptr<EchoLink> link) { echo_link_ = std::move(link); }

  // Appends the far end (interleaved at the reference channel count) to the running
  // stream's echo reference queue; does nothing without a stream or echo cancellation.
  void push_reference(std::span<const float> samples);

  // The running stream's echo canceller: one record per channel and the reference
  // queue's counters. None without a stream, echo cancellation or records.
  struct EchoReport {
    std::vector<EchoMetrics> channels;
    uint64_t discarded = 0;
    uint64_t padded = 0;
  };
  std::optional<EchoReport> echo_report() const;

  bool is_running() const;
  uint64_t overrun_count() const;
  float vad_probability() const { return detector_.probability(); }
  const SourceConfig& config() const { return config_; }

 private:
  using Lifecycle = StreamLifecycle<CapturePipeline>;

  Capture(SourceConfig config, DeviceResolver resolve, CaptureDetector detector);
  Result<Lifecycle::Running, ConfigError> open_stream();

  const SourceConfig config_;
  const DeviceResolver resolve_;
  CaptureDetector detector_;
  std::shared_ptr<EchoLink> echo_link_;
  Lifecycle lifecycle_;
};

}  // namespace murello
