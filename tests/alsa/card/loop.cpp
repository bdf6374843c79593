#include "loop.hpp"

#include <map>

#include "pacer.hpp"

namespace testcard {
namespace {
constexpr uint64_t kHistorySeconds = 4;
}

std::shared_ptr<Loop> Loop::find(const std::string& name, uint32_t rate_hz, uint32_t channels) {
  static std::mutex registry_mutex;
  static std::map<std::string, std::weak_ptr<Loop>> registry;
  std::lock_guard lock(registry_mutex);
  auto& slot = registry[name];
  auto loop = slot.lock();
  if (!loop) {
    loop = std::make_shared<Loop>(rate_hz, channels);
    slot = loop;
  }
  return loop;
}

Loop::Loop(uint32_t rate_hz, uint32_t channels)
    : rate_hz_(rate_hz),
      channels_(channels),
      epoch_ns_(monotonic_ns()),
      capacity_frames_(uint64_t{rate_hz} * kHistorySeconds),
      samples_(capacity_frames_ * channels, 0.0f),
      stamps_(capacity_frames_, 0) {}

uint64_t Loop::frame_at(int64_t now_ns) const {
  if (now_ns <= epoch_ns_) return 0;
  auto ns = static_cast<unsigned __int128>(now_ns - epoch_ns_);
  return static_cast<uint64_t>(ns * rate_hz_ / 1'000'000'000);
}

void Loop::play(uint64_t when, const float* frame, uint32_t channels) {
  uint64_t slot = when % capacity_frames_;
  stamps_[slot] = when + 1;
  for (uint32_t c = 0; c < channels_; ++c) {
    samples_[slot * channels_ + c] = frame[c % channels];
  }
}

void Loop::cancel(uint64_t from, uint64_t to) {
  for (uint64_t when = from; when < to; ++when) {
    uint64_t slot = when % capacity_frames_;
    if (stamps_[slot] == when + 1) stamps_[slot] = 0;
  }
}

float Loop::heard(uint64_t when, uint32_t channel) const {
  uint64_t slot = when % capacity_frames_;
  if (stamps_[slot] != when + 1) return 0.0f;
  return samples_[slot * channels_ + channel % channels_];
}

}  // namespace testcard
