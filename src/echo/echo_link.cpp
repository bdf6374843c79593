#include "echo/echo_link.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace murello {
namespace {

constexpr uint32_t kRingSeconds = 2;
// A gap record in the ring: this NaN (never a sample: played samples are finite), then
// the gap's length in samples as two raw 32-bit halves, low first.
constexpr uint32_t kGapBits = 0x7fc0'9a9bu;
// A buffer that plays this much later (or earlier) than the count of samples fed says
// marks a device that stopped consuming for a while (or skipped); less is clock drift
// and scheduling noise, which the timeline follows slowly instead.
constexpr double kJumpSeconds = 0.02;
constexpr double kDriftFollow = 1.0 / 256;

float raw_float(uint32_t bits) { return std::bit_cast<float>(bits); }
uint32_t raw_bits(float value) { return std::bit_cast<uint32_t>(value); }

}  // namespace

EchoLink::EchoLink(uint32_t rate_hz, uint16_t channels)
    : rate_hz_(rate_hz), channels_(std::max<uint16_t>(channels, 1)) {}

uint64_t EchoLink::attach(int64_t origin_ns) {
  MutexLock lock(attach_mutex_);
  if (ring_.load(std::memory_order_relaxed) == nullptr) {
    capacity_ = size_t{kRingSeconds} * rate_hz_;
    ring_storage_ = std::make_unique<float[]>(capacity_);
    ring_.store(ring_storage_.get(), std::memory_order_release);
  }
  static std::atomic<uint64_t> tickets{0};
  const uint64_t ticket = tickets.fetch_add(1, std::memory_order_relaxed) + 1;
  origin_ns_.store(origin_ns, std::memory_order_relaxed);
  ticket_.store(ticket, std::memory_order_release);
  return ticket;
}

void EchoLink::detach(uint64_t ticket) {
  MutexLock lock(attach_mutex_);
  uint64_t expected = ticket;
  ticket_.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
}

// --- producer ---------------------------------------------------------------------

void EchoLink::start_timeline(uint64_t ticket) {
  producer_ticket_ = ticket;
  origin_copy_ns_ = origin_ns_.load(std::memory_order_relaxed);
  fed_ = 0;
  skip_ = 0;
  drift_samples_ = 0;
  synced_ = false;
  timeline_start_ = write_.load(std::memory_order_relaxed);
  started_at_.store(timeline_start_, std::memory_order_relaxed);
  started_ticket_.store(ticket, std::memory_order_release);
}

// Puts the buffer that plays at `play_ns` where it belongs on the timeline: after a gap
// of silence if it comes later than the samples fed so far reach, over the end of what
// was fed (which never played) if earlier.
void EchoLink::place(int64_t play_ns, bool forced) {
  const double expected = static_cast<double>(play_ns - origin_copy_ns_) * rate_hz_ / 1e9;
  const double off = expected - static_cast<double>(fed_) - drift_samples_;
  if (!forced && std::abs(off) < kJumpSeconds * rate_hz_) {
    drift_samples_ += off * kDriftFollow;
    return;
  }
  if (forced) drift_samples_ = 0;
  const auto jump = static_cast<int64_t>(std::llround(off));
  if (jump > 0) {
    write_gap(static_cast<uint64_t>(jump));
  } else {
    skip_ = static_cast<uint64_t>(-jump);
  }
}

// Slots before the timeline's start are free whatever the consumer last read: it skips
// them before it reads again.
uint64_t EchoLink::free_slots() const {
  const uint64_t r = std::max(read_.load(std::memory_order_acquire), timeline_start_);
  return capacity_ - (write_.load(std::memory_order_relaxed) - r);
}

bool EchoLink::write_slot(float value) {
  const uint64_t w = write_.load(std::memory_order_relaxed);
  if (free_slots() == 0) return false;
  ring_.load(std::memory_order_relaxed)[w % capacity_] = value;
  write_.store(w + 1, std::memory_order_release);
  return true;
}

void EchoLink::write_gap(uint64_t samples) {
  fed_ += samples;
  const uint64_t w = write_.load(std::memory_order_relaxed);
  if (free_slots() < 3) {
    dropped_.fetch_add(samples, std::memory_order_relaxed);
    return;
  }
  float* ring = ring_.load(std::memory_order_relaxed);
  ring[w % capacity_] = raw_float(kGapBits);
  ring[(w + 1) % capacity_] = raw_float(static_cast<uint32_t>(samples));
  ring[(w + 2) % capacity_] = raw_float(static_cast<uint32_t>(samples >> 32));
  write_.store(w + 3, std::memory_order_release);  // the record appears whole
}

void EchoLink::feed(std::span<const float> interleaved, int64_t play_ns, bool restarted) {
  producer_.on_this_thread();
  if (ring_.load(std::memory_order_acquire) == nullptr) return;
  const uint64_t ticket = ticket_.load(std::memory_order_acquire);
  if (ticket == 0) {
    producer_ticket_ = 0;
    return;
  }
  if (ticket != producer_ticket_) start_timeline(ticket);
  place(play_ns, !synced_ || restarted);
  synced_ = true;

  const size_t frames = interleaved.size() / channels_;
  const float scale = 1.0f / static_cast<float>(channels_);
  uint64_t dropped = 0;
  for (size_t f = 0; f < frames; ++f) {
    if (skip_ > 0) {
      --skip_;
      continue;
    }
    const float* frame = interleaved.data() + f * channels_;
    float sum = 0.0f;
    for (uint16_t c = 0; c < channels_; ++c) sum += frame[c];
    if (!write_slot(channels_ == 1 ? sum : sum * scale)) ++dropped;
    ++fed_;
  }
  if (dropped > 0) dropped_.fetch_add(dropped, std::memory_order_relaxed);
}

// --- consumer ---------------------------------------------------------------------

bool EchoLink::ready(uint64_t ticket) {
  if (ticket == 0 || ticket != ticket_.load(std::memory_order_acquire)) return false;
  if (consumer_.ticket != ticket) consumer_ = Consumer{ticket, 0, 0};
  return true;
}

bool EchoLink::next_sample(float& value) {
  while (true) {
    if (consumer_.gap > 0) {
      --consumer_.gap;
      value = 0.0f;
      return true;
    }
    const uint64_t r = read_.load(std::memory_order_relaxed);
    if (r == write_.load(std::memory_order_acquire)) return false;
    const float* ring = ring_.load(std::memory_order_acquire);
    const float slot = ring[r % capacity_];
    if (raw_bits(slot) != kGapBits) {
      read_.store(r + 1, std::memory_order_release);
      value = slot;
      return true;
    }
    consumer_.gap = uint64_t{raw_bits(ring[(r + 1) % capacity_])} |
                    uint64_t{raw_bits(ring[(r + 2) % capacity_])} << 32;
    read_.store(r + 3, std::memory_order_release);
  }
}

bool EchoLink::take(uint64_t ticket, size_t count, std::vector<float>& out) {
  consumer_role_.on_this_thread();
  if (!ready(ticket)) return false;
  // Until the speaker has begun this capture's timeline, what waits is from before it.
  if (started_ticket_.load(std::memory_order_acquire) != ticket) return false;
  if (started_at_.load(std::memory_order_relaxed) > read_.load(std::memory_order_relaxed)) {
    read_.store(started_at_.load(std::memory_order_relaxed), std::memory_order_release);
  }
  float value = 0.0f;
  while (consumer_.debt > 0) {
    if (consumer_.gap > 0) {
      const uint64_t both = std::min(consumer_.debt, consumer_.gap);
      consumer_.debt -= both;
      consumer_.gap -= both;
      continue;
    }
    if (!next_sample(value)) return false;
    --consumer_.debt;
  }
  for (size_t i = 0; i < count && next_sample(value); ++i) out.push_back(value);
  return consumer_.gap > 0 ||
         read_.load(std::memory_order_relaxed) != write_.load(std::memory_order_acquire);
}

void EchoLink::owe(uint64_t ticket, uint64_t count) {
  consumer_role_.on_this_thread();
  if (ready(ticket)) consumer_.debt += count;
}

}  // namespace murello
