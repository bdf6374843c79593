#include "playback/playback_queue.hpp"

#include <algorithm>

#include "util/futex.hpp"

namespace murello {

PlaybackQueue::Sent PlaybackQueue::wait_for_room(Deadline deadline) {
  using Clock = std::chrono::steady_clock;
  size_t limit = kCapacity - 1;  // the most messages queued that let one more in
  while (true) {
    // Read before the checks: a receive or close in between changes it, so the wait
    // below returns at once instead of missing the wake-up.
    uint32_t seen = progress_.load(std::memory_order_acquire);
    if (!is_open()) return Sent::Closed;
    const uint64_t queued =
        sent_.load(std::memory_order_acquire) - received_.load(std::memory_order_acquire);
    if (queued <= limit) return Sent::Queued;
    limit = kResumeLevel;
    std::optional<std::chrono::nanoseconds> left;
    if (deadline) {
      left = *deadline - Clock::now();
      if (*left <= std::chrono::nanoseconds::zero()) return Sent::TimedOut;
    }
    // Counted before the word is compared, so that a receiver that bumps the word after
    // the comparison sees the sleeper and wakes it.
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    futex_wait(progress_, seen, left);
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
  }
}

// Message k lives in slot k % kSlots. A sender may publish message k once the receiver
// has taken message k - kCapacity, which it does only after it has finished reading
// message k - kSlots, the slot's previous occupant. Senders wait for room without the
// mutex and claim the slot under it, so none holds it while it waits.
template <class Fill>
PlaybackQueue::Sent PlaybackQueue::send_message(Deadline deadline, Fill fill) {
  while (true) {
    if (const Sent room = wait_for_room(deadline); room != Sent::Queued) return room;
    std::lock_guard lock(send_mutex_);
    if (!is_open()) return Sent::Closed;
    const uint64_t k = sent_.load(std::memory_order_relaxed);
    if (k - received_.load(std::memory_order_acquire) < kCapacity) {
      fill(slots_[k % kSlots]);
      sent_.store(k + 1, std::memory_order_release);
      free_finished();
      return Sent::Queued;
    }
    // Another sender took the room first: wait again.
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

bool PlaybackQueue::send(std::vector<float> samples) {
  return send_until(samples, std::nullopt) == Sent::Queued;
}

PlaybackQueue::Sent PlaybackQueue::send_until(std::vector<float>& samples, Deadline deadline) {
  // An empty message would read as a marker nobody waits for.
  if (samples.empty()) return is_open() ? Sent::Queued : Sent::Closed;
  std::vector<float> replaced;  // the slot's previous message, freed on return
  return send_message(deadline, [&](std::vector<float>& slot) {
    replaced = std::move(samples);
    slot.swap(replaced);
  });
}

std::optional<uint64_t> PlaybackQueue::send_marker() {
  uint64_t ticket = 0;
  if (send_marker_until(ticket, std::nullopt) != Sent::Queued) return std::nullopt;
  return ticket;
}

PlaybackQueue::Sent PlaybackQueue::send_marker_until(uint64_t& ticket, Deadline deadline) {
  return send_message(deadline, [&](std::vector<float>& slot) {
    std::vector<float>().swap(slot);
    ticket = ++markers_sent_;
  });
}

void PlaybackQueue::close() {
  open_.store(false, std::memory_order_release);
  wake_senders();
}

void PlaybackQueue::wake_senders() {
  progress_.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers_.load(std::memory_order_seq_cst) != 0) futex_wake_all(progress_);
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
