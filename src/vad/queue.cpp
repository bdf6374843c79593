#include "vad/queue.hpp"

#include <algorithm>

#include "chain/resample_stage.hpp"

namespace murello {

uint32_t detector_rate_hz(DetectorKind kind, uint32_t delivered_hz) {
  if (kind == DetectorKind::Model && delivered_hz != 8000 && delivered_hz != 16000) return 16000;
  return delivered_hz;
}

DetectorQueue::DetectorQueue(uint32_t rate_hz, std::optional<Resampler> resampler)
    : rate_hz_(rate_hz),
      capacity_(2 * static_cast<size_t>(rate_hz)),
      resampler_(std::move(resampler)),
      ring_(capacity_) {}

Result<DetectorQueue, CoreError> DetectorQueue::create(DetectorKind kind, uint32_t delivered_hz) {
  const uint32_t rate_hz = detector_rate_hz(kind, delivered_hz);
  if (rate_hz == delivered_hz) return DetectorQueue(rate_hz, std::nullopt);
  auto resampler = Resampler::create(delivered_hz, rate_hz);
  if (!resampler) return core_error_from_resampler(resampler.error());
  return DetectorQueue(rate_hz, std::move(resampler).value());
}

Result<void, CoreError> DetectorQueue::push(std::span<const float> mono) {
  if (!resampler_) {
    append(mono);
    return {};
  }
  resampled_.clear();
  if (auto fed = resampler_->process(mono, resampled_); !fed) {
    return core_error_from_resampler(fed.error());
  }
  append(resampled_);
  return {};
}

void DetectorQueue::flush() {
  if (!resampler_) return;
  resampled_.clear();
  resampler_->flush(resampled_);
  append(resampled_);
}

void DetectorQueue::append(std::span<const float> samples) {
  if (capacity_ == 0) return;
  // Of a block longer than the queue only its newest samples can survive.
  if (samples.size() >= capacity_) {
    samples = samples.last(capacity_);
    head_ = 0;
    size_ = 0;
  }
  const size_t overflow =
      (size_ + samples.size() > capacity_) ? size_ + samples.size() - capacity_ : 0;
  head_ = (head_ + overflow) % capacity_;
  size_ -= overflow;
  const size_t tail = (head_ + size_) % capacity_;
  const size_t first = std::min(samples.size(), capacity_ - tail);
  std::copy_n(samples.begin(), first, ring_.begin() + static_cast<ptrdiff_t>(tail));
  std::copy(samples.begin() + static_cast<ptrdiff_t>(first), samples.end(), ring_.begin());
  size_ += samples.size();
}

void DetectorQueue::drain(std::vector<float>& out) {
  const size_t first = std::min(size_, capacity_ - head_);
  const auto begin = ring_.begin() + static_cast<ptrdiff_t>(head_);
  out.insert(out.end(), begin, begin + static_cast<ptrdiff_t>(first));
  out.insert(out.end(), ring_.begin(), ring_.begin() + static_cast<ptrdiff_t>(size_ - first));
  head_ = 0;
  size_ = 0;
}

}  // namespace murello
