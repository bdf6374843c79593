#include "playback/playback_feed.hpp"

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
  return write_until(samples, std::nullopt) == PlaybackQueue::Sent::Queued;
}

PlaybackQueue::Sent PlaybackFeed::write_until(std::vector<float>& samples,
                                              PlaybackQueue::Deadline deadline) {
  MutexLock lock(partial_mutex_);
  const auto carried = static_cast<std::ptrdiff_t>(partial_.size());
  samples.insert(samples.begin(), partial_.begin(), partial_.end());
  const auto whole = static_cast<std::ptrdiff_t>(samples.size() / channels_ * channels_);
  std::vector<float> rest(samples.begin() + whole, samples.end());
  samples.resize(static_cast<size_t>(whole));
  PlaybackQueue::Sent sent = PlaybackQueue::Sent::Queued;
  if (samples.empty()) {
    if (!playing()) sent = PlaybackQueue::Sent::Closed;
  } else {
    sent = queue_.send_until(samples, deadline);
  }
  if (sent == PlaybackQueue::Sent::TimedOut) {
    // As the caller gave them, for the next try.
    samples.insert(samples.end(), rest.begin(), rest.end());
    samples.erase(samples.begin(), samples.begin() + carried);
  } else {
    partial_ = std::move(rest);
  }
  return sent;
}

void PlaybackFeed::fill(std::span<float> out) {
  audio_thread_.on_this_thread();
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
  error_.keep(message);
  queue_.close();
}

}  // namespace murello
