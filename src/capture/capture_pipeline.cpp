#include "capture/capture_pipeline.hpp"

#include <algorithm>
#include <utility>

namespace murello {

CapturePipeline::CapturePipeline(std::optional<Chain> chain, uint16_t delivered_channels,
                                 uint32_t frames_per_buffer,
                                 std::shared_ptr<EchoReferenceQueue> reference)
    : chain_(std::move(chain)),
      delivered_channels_(delivered_channels),
      detector_channels_(chain_ ? chain_->structural_channels() : delivered_channels),
      block_samples_(size_t{frames_per_buffer} * delivered_channels),
      reference_(std::move(reference)) {}

std::optional<std::vector<EchoMetrics>> CapturePipeline::echo_metrics() {
  MutexLock lock(mutex_);
  if (!chain_) return std::nullopt;
  return chain_->echo_metrics();
}

void CapturePipeline::on_period(std::span<const float> period) {
  if (!running_.load(std::memory_order_acquire)) return;
  if (queue_.offer(period) == CaptureQueue::Offer::Full) {
    overruns_.fetch_add(1, std::memory_order_relaxed);
  }
}

void CapturePipeline::on_device_loss(uint64_t frames, uint32_t period_frames) {
  if (period_frames == 0) return;
  overruns_.fetch_add((frames + period_frames - 1) / period_frames, std::memory_order_relaxed);
}

void CapturePipeline::on_error(std::string_view message) {
  error_.keep(message);
  running_.store(false, std::memory_order_release);
}

Result<void, CoreError> CapturePipeline::consume(std::span<const float> period) {
  if (flushed_.load(std::memory_order_relaxed)) {
    return CoreError(ErrorKind::MicrophoneStreamClosed);
  }
  if (!chain_) {
    delivered_.append(period);
    return {};
  }
  auto output = chain_->process(period);
  if (!output) return std::move(output).error();
  append_output(*output);
  return {};
}

void CapturePipeline::append_output(std::span<const float> output) {
  delivered_.append(output);
  if (chain_->has_detector_signal()) detector_.append(chain_->detector_signal());
}

Result<void, CoreError> CapturePipeline::consume_waiting() {
  while (queue_.take(message_)) {
    if (auto consumed = consume(message_); !consumed) return consumed;
  }
  return {};
}

Result<void, CoreError> CapturePipeline::flush() {
  if (flushed_.exchange(true, std::memory_order_relaxed) || !chain_) return {};
  std::vector<float> tail;
  if (auto flushed = chain_->flush(tail); !flushed) return flushed;
  append_output(tail);
  return {};
}

CaptureBlock CapturePipeline::hand_out(size_t samples) {
  CaptureBlock block;
  block.samples = delivered_.take(samples);
  block.channels = delivered_channels_;
  block.detector = detector_.take(block.samples.size());
  block.detector_channels = detector_channels_;
  return block;
}

Result<std::optional<CaptureBlock>, CoreError> CapturePipeline::hand_out_after_end() {
  if (!delivered_.empty()) return std::optional(hand_out(block_samples_));
  if (auto error = error_.take()) return CoreError(ErrorKind::DeviceFailed, *error);
  return CoreError(ErrorKind::MicrophoneStreamClosed);
}

Result<std::optional<CaptureBlock>, CoreError> CapturePipeline::read(Deadline deadline) {
  using Clock = std::chrono::steady_clock;
  MutexLock lock(mutex_);
  while (!flushed_.load(std::memory_order_relaxed)) {
    if (delivered_.size() >= block_samples_) return std::optional(hand_out(block_samples_));
    if (deadline && Clock::now() >= *deadline) {
      if (auto consumed = consume_waiting(); !consumed) return std::move(consumed).error();
      if (delivered_.size() >= block_samples_) return std::optional(hand_out(block_samples_));
      // A stream that has ended is drained like one without a deadline: a caller that
      // polls with short timeouts must also get the last block and learn of the end.
      if (!running() || queue_.closed()) {
        if (auto flushed = flush(); !flushed) return std::move(flushed).error();
        break;
      }
      return std::optional<CaptureBlock>();
    }
    if (queue_.take(message_)) {
      if (auto consumed = consume(message_); !consumed) return std::move(consumed).error();
      continue;
    }
    // Nothing waiting: a dropped stream ends at once, a stopped or failed one after a
    // quiet slice (its last periods may still be on their way).
    bool ended = queue_.closed();
    if (!ended) {
      lock.unlock();
      auto slice = std::chrono::nanoseconds(kCaptureWaitSlice);
      if (deadline) slice = std::min(slice, std::chrono::nanoseconds(*deadline - Clock::now()));
      queue_.wait(slice);
      lock.lock();
      ended = queue_.empty() && (!running() || queue_.closed());
    }
    if (ended) {
      if (auto consumed = consume_waiting(); !consumed) return std::move(consumed).error();
      if (auto flushed = flush(); !flushed) return std::move(flushed).error();
    }
  }
  return hand_out_after_end();
}

}  // namespace murello
