#include "sources/playback_queue.hpp"

#include <algorithm>

namespace murello {

// Message k lives in slot k % kSlots. A sender may publish message k once the receiver
// has taken message k - kCapacity, which it does only after it has finished reading
// message k - kSlots, the slot's previous occupant.
std::vector<float>* PlaybackQueue::wait_for_slot() {
  const uint64_t k = sent_.load(std::memory_order_relaxed);
  size_t limit = kCapacity - 1;  // the most messages queued that let this one in
  while (true) {
    // Read before the checks: a receive or close in between changes it, so the wait
    // below returns at once instead of missing the wake-up.
    uint32_t seen = progress_.load(std::memory_order_acquire);
    if (!is_open()) return nullptr;
    if (k - received_.load(std::memory_order_acquire) <= limit) return &slots_[k % kSlots];
    limit = kResumeLevel;
    progress_.wait(seen, std::memory_order_acquire);
  }
}

// A slot keeps its message's storage until message k + kSlots replaces it (and frees
// it), so only the messages from sent - kSlots on still own theirs.
void PlaybackQueue::free_finished() {
  const uint64_t sent = sent_.load(std::memory_order_relaxed);
  if (sent > kSlots) freed_ = std::max(freed_, sent - kSlots);
  const uint64_t finished = finished_.load(std::memory_order_acquire);
  for (; freed_ < finished; ++freed_) std::vector<float>().swap(slots_[freed_ % kSlots]);
}

void PlaybackQueue::release_played() {
  std::unique_lock lock(send_mutex_, std::try_to_lock);
  if (lock.owns_lock()) free_finished();
}

void PlaybackQueue::publish() { sent_.fetch_add(1, std::memory_order_release); }

bool PlaybackQueue::send(std::vector<float> samples) {
  if (samples.empty()) return is_open();  // would read as a marker nobody waits for
  std::lock_guard lock(send_mutex_);
  std::vector<float>* slot = wait_for_slot();
  if (slot == nullptr) return false;
  slot->swap(samples);  // the slot's previous message, freed on return
  publish();
  free_finished();
  return true;
}

std::optional<uint64_t> PlaybackQueue::send_marker() {
  std::lock_guard lock(send_mutex_);
  std::vector<float>* slot = wait_for_slot();
  if (slot == nullptr) return std::nullopt;
  std::vector<float>().swap(*slot);
  publish();
  free_finished();
  return ++markers_sent_;
}

void PlaybackQueue::close() {
  open_.store(false, std::memory_order_release);
  wake_senders();
}

void PlaybackQueue::wake_senders() {
  progress_.fetch_add(1, std::memory_order_release);
  progress_.notify_all();
}

const std::vector<float>* PlaybackQueue::try_receive() {
  // Asking for the next message means the last one has been played.
  finished_.store(next_, std::memory_order_release);
  const uint64_t available = sent_.load(std::memory_order_acquire);
  while (next_ != available) {
    const std::vector<float>& message = slots_[next_ % kSlots];
    ++next_;
    received_.store(next_, std::memory_order_release);
    // `available` may lag behind the senders, which only makes the count smaller: a
    // sender waiting for the resume level is woken no later than it should be.
    if (available - next_ <= kResumeLevel) wake_senders();
    if (!message.empty()) return &message;
    markers_taken_.fetch_add(1, std::memory_order_release);
  }
  return nullptr;
}

void PlaybackQueue::discard_all() {
  while (try_receive() != nullptr) {
  }
}

}  // namespace murello
