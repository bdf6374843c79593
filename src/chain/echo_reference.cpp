#include "chain/echo_reference.hpp"

#include <algorithm>

namespace murello {

EchoReferenceQueue::EchoReferenceQueue(uint32_t reference_rate_hz, uint16_t reference_channels)
    : rate_hz_(reference_rate_hz),
      channels_(std::max<uint16_t>(reference_channels, 1)),
      limit_(size_t{2} * reference_rate_hz) {}

void EchoReferenceQueue::push(std::span<const float> interleaved) {
  // The down-mix is built on the caller's thread, before the queue's lock is taken.
  std::span<const float> mono = interleaved;
  std::vector<float> mixed;
  if (channels_ > 1) {
    const size_t frames = interleaved.size() / channels_;
    mixed.resize(frames);
    const float scale = 1.0f / static_cast<float>(channels_);
    for (size_t f = 0; f < frames; ++f) {
      const float* frame = interleaved.data() + f * channels_;
      float sum = 0.0f;
      for (uint16_t c = 0; c < channels_; ++c) sum += frame[c];
      mixed[f] = sum * scale;
    }
    mono = mixed;
  }
  size_t kept;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t free = limit_ > samples_.size() ? limit_ - samples_.size() : 0;
    kept = std::min(free, mono.size());
    samples_.insert(samples_.end(), mono.begin(), mono.begin() + kept);
  }
  if (kept < mono.size()) {
    discarded_.fetch_add(mono.size() - kept, std::memory_order_relaxed);
  }
}

bool EchoReferenceQueue::take(size_t count, std::vector<float>& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t n = std::min(count, samples_.size());
  out.insert(out.end(), samples_.begin(), samples_.begin() + n);
  samples_.erase(samples_.begin(), samples_.begin() + n);
  return !samples_.empty();
}

}  // namespace murello
