#include "sources/playback_feed.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace murello {

size_t PlaybackFeed::take_carry(std::span<float> out) {
  if (carry_ == nullptr) return 0;
  const size_t n = std::min(out.size(), carry_->size() - carry_offset_);
  std::memcpy(out.data(), carry_->data() + carry_offset_, n * sizeof(float));
  carry_offset_ += n;
  if (carry_offset_ == carry_->size()) carry_ = nullptr;
  return n;
}

bool PlaybackFeed::write(std::vector<float> samples) {
  std::lock_guard lock(partial_mutex_);
  if (!partial_.empty()) {
    samples.insert(samples.begin(), partial_.begin(), partial_.end());
    partial_.clear();
  }
  const size_t whole = samples.size() / channels_ * channels_;
  partial_.assign(samples.begin() + static_cast<std::ptrdiff_t>(whole), samples.end());
  samples.resize(whole);
  if (samples.empty()) return playing();
  return queue_.send(std::move(samples));
}

void PlaybackFeed::fill(std::span<float> out) {
  if (!playing()) {
    carry_ = nullptr;
    queue_.discard_all();
    std::fill(out.begin(), out.end(), 0.0f);
    return;
  }
  size_t filled = take_carry(out);
  while (filled < out.size()) {
    const std::vector<float>* message = queue_.try_receive();
    if (message == nullptr) {
      underruns_.fetch_add(out.size() - filled, std::memory_order_relaxed);
      std::fill(out.begin() + static_cast<std::ptrdiff_t>(filled), out.end(), 0.0f);
      return;
    }
    carry_ = message;
    carry_offset_ = 0;
    filled += take_carry(out.subspan(filled));
  }
}

void PlaybackFeed::fail(std::string_view message) {
  {
    std::lock_guard lock(error_mutex_);
    error_ = std::string(message);
  }
  failed_.store(true, std::memory_order_release);
  queue_.close();
}

std::optional<std::string> PlaybackFeed::take_error() {
  std::lock_guard lock(error_mutex_);
  return std::exchange(error_, std::nullopt);
}

}  // namespace murello
