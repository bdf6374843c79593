#include "echo/echo_reference.hpp"

#include <algorithm>
#include <ctime>
#include <limits>

namespace murello {

EchoReferenceQueue::EchoReferenceQueue(uint32_t reference_rate_hz, uint16_t reference_channels)
    : rate_hz_(reference_rate_hz),
      channels_(std::max<uint16_t>(reference_channels, 1)),
      limit_(size_t{2} * reference_rate_hz) {}

namespace {

int64_t monotonic_now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

EchoReferenceQueue::EchoReferenceQueue(std::shared_ptr<EchoLink> link)
    : rate_hz_(link->rate_hz()),
      channels_(1),
      limit_(size_t{2} * link->rate_hz()),
      link_(std::move(link)),
      dropped_before_(link_->dropped()) {
  ticket_ = link_->attach(monotonic_now_ns());
}

EchoReferenceQueue::~EchoReferenceQueue() {
  if (link_) link_->detach(ticket_);
}

uint64_t EchoReferenceQueue::discarded() const {
  const uint64_t own = discarded_.load(std::memory_order_relaxed);
  return link_ ? own + link_->dropped() - dropped_before_ : own;
}

void EchoReferenceQueue::add_padded(uint64_t samples, uint32_t rate_hz) {
  const uint64_t total = padded_.fetch_add(samples, std::memory_order_relaxed) + samples;
  if (!link_ || rate_hz == 0) return;
  // Owed in the link's samples, from the running total so that no rounding adds up.
  const auto owed = static_cast<uint64_t>(static_cast<unsigned __int128>(total) * rate_hz_ /
                                          rate_hz);
  link_->owe(ticket_, owed - owed_);
  owed_ = owed;
}

void EchoReferenceQueue::push(std::span<const float> interleaved) {
  if (link_) {
    discarded_.fetch_add(interleaved.size() / channels_, std::memory_order_relaxed);
    return;
  }
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
  // A drain asks for everything: of a linked far end, no more than the link can hold.
  if (link_) return link_->take(ticket_, std::min(count, limit_), out);
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t n = std::min(count, samples_.size());
  out.insert(out.end(), samples_.begin(), samples_.begin() + n);
  samples_.erase(samples_.begin(), samples_.begin() + n);
  return !samples_.empty();
}

}  // namespace murello
