// CapturePipeline: the state one running capture stream shares between its audio thread
// and its readers: the period queue, the running flag, the overrun counter and the error
// slot on the audio side; the conditioning chain, the delivered samples not yet handed
// out and the detector signal that came with them on the reading side.
//
// Conventions: samples are interleaved float32; a block is frames_per_buffer frames of
// the delivered channel count. The detector signal is the chain's copy of the signal
// before conditioning, interleaved at the chain's structural channel count; it is kept
// only when the chain has conditioning stages.
//
// Threads: on_period(), on_device_loss() and on_error() run on the audio thread; they never block (the
// error slot's mutex is taken only on an error). read() may be called from several
// threads at once: the pipeline mutex serialises the chain and the buffers and is never
// held while waiting for audio. stop() and overrun_count() are for any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chain/chain.hpp"
#include "echo/echo_reference.hpp"
#include "core/error.hpp"
#include "capture/capture_queue.hpp"
#include "devices/error_slot.hpp"
#include "util/result.hpp"
#include "util/sample_fifo.hpp"
#include "util/thread_annotations.hpp"

namespace murello {

// How long a reader waits for the next period before it looks at the running flag again.
inline constexpr std::chrono::milliseconds kCaptureWaitSlice{20};

struct CaptureBlock {
  std::vector<float> samples;  // interleaved at `channels`; never empty
  uint16_t channels = 1;
  // The detector signal that came with the block, interleaved at detector_channels;
  // empty when the chain keeps none (the block itself is then what the detector hears).
  std::vector<float> detector;
  uint16_t detector_channels = 1;
};

class CapturePipeline {
 public:
  using Deadline = std::optional<std::chrono::steady_clock::time_point>;

  // `reference` is the far-end queue of the chain's echo canceller; null without one.
  CapturePipeline(std::optional<Chain> chain, uint16_t delivered_channels,
                  uint32_t frames_per_buffer,
                  std::shared_ptr<EchoReferenceQueue> reference = nullptr);

  // Audio thread: queue one period unless stopped; a full queue drops it and counts an
  // overrun.
  void on_period(std::span<const float> period);
  // Audio thread: the device lost `frames` in an overrun of its own buffer; counted as
  // overruns of `period_frames` each, the last one partial.
  void on_device_loss(uint64_t frames, uint32_t period_frames);
  // Audio thread: keep the backend's error (the latest wins) and stop delivering.
  void on_error(std::string_view message);
  // The sender is gone (the stream was dropped): readers stop waiting.
  void close_queue() { queue_.close(); }

  // One block, or nothing when `deadline` passed first (samples already received stay
  // for the next read). Once the stream has ended (stopped, failed or dropped) the
  // remaining samples are flushed through the chain and handed out as full blocks and
  // at most one short one; then DeviceFailed once if the device failed, then
  // MicrophoneStreamClosed. This holds for reads with a deadline too, however short. A
  // chain error fails the read and loses that period.
  Result<std::optional<CaptureBlock>, CoreError> read(Deadline deadline) MURELLO_EXCLUDES(mutex_);

  void stop() { running_.store(false, std::memory_order_release); }
  bool running() const { return running_.load(std::memory_order_acquire); }
  uint64_t overrun_count() const { return overruns_.load(std::memory_order_relaxed); }

  // Any thread: the far-end queue the caller pushes into (null without echo
  // cancellation), and the echo canceller's per-channel records, read under the chain's
  // lock (none without a canceller).
  const std::shared_ptr<EchoReferenceQueue>& reference() const { return reference_; }
  std::optional<std::vector<EchoMetrics>> echo_metrics() MURELLO_EXCLUDES(mutex_);

 private:
  Result<void, CoreError> consume(std::span<const float> period) MURELLO_REQUIRES(mutex_);
  Result<void, CoreError> consume_waiting() MURELLO_REQUIRES(mutex_);
  Result<void, CoreError> flush() MURELLO_REQUIRES(mutex_);
  void append_output(std::span<const float> output) MURELLO_REQUIRES(mutex_);
  CaptureBlock hand_out(size_t samples) MURELLO_REQUIRES(mutex_);
  Result<std::optional<CaptureBlock>, CoreError> hand_out_after_end() MURELLO_REQUIRES(mutex_);

  // Audio side.
  CaptureQueue queue_;
  std::atomic<bool> running_{true};
  std::atomic<uint64_t> overruns_{0};
  ErrorSlot error_;

  // Reading side.
  Mutex mutex_;
  std::optional<Chain> chain_ MURELLO_GUARDED_BY(mutex_);
  std::atomic<bool> flushed_{false};
  SampleFifo delivered_ MURELLO_GUARDED_BY(mutex_);
  SampleFifo detector_ MURELLO_GUARDED_BY(mutex_);
  std::vector<float> message_ MURELLO_GUARDED_BY(mutex_);  // the period being consumed
  const uint16_t delivered_channels_;
  const uint16_t detector_channels_;
  const size_t block_samples_;
  const std::shared_ptr<EchoReferenceQueue> reference_;
};

}  // namespace murello
