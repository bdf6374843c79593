#include "pacer.hpp"

#include <time.h>

#include <cmath>

namespace testcard {
namespace {
constexpr int64_t kNsPerSecond = 1'000'000'000;
}

int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * kNsPerSecond + ts.tv_nsec;
}

void Pacer::start(uint32_t rate_hz, int64_t now_ns, std::optional<Stall> stall, double ppm) {
  rate_hz_ = rate_hz;
  ppm_ = ppm;
  start_ns_ = now_ns;
  paused_ = false;
  stall_ = stall;
}

void Pacer::pause(int64_t now_ns) {
  if (paused_) return;
  paused_ = true;
  paused_at_ns_ = now_ns;
}

int64_t Pacer::resume(int64_t now_ns) {
  if (!paused_) return 0;
  paused_ = false;
  int64_t pause_ns = now_ns - paused_at_ns_;
  start_ns_ += pause_ns;
  return pause_ns;
}

uint64_t Pacer::elapsed_frames(int64_t now_ns) const {
  if (now_ns <= start_ns_) return 0;
  if (ppm_ != 0) {
    const long double rate = rate_hz_ * (1.0L + ppm_ / 1e6L);
    const auto ns = static_cast<long double>(now_ns - start_ns_);
    return static_cast<uint64_t>(ns * rate / kNsPerSecond);
  }
  auto ns = static_cast<unsigned __int128>(now_ns - start_ns_);
  return static_cast<uint64_t>(ns * rate_hz_ / kNsPerSecond);
}

int64_t Pacer::plain_time_of(uint64_t frame) const {
  if (ppm_ != 0) {
    const long double rate = rate_hz_ * (1.0L + ppm_ / 1e6L);
    return start_ns_ + static_cast<int64_t>(std::ceil(frame * kNsPerSecond / rate));
  }
  auto ns = (static_cast<unsigned __int128>(frame) * kNsPerSecond + rate_hz_ - 1) / rate_hz_;
  return start_ns_ + static_cast<int64_t>(ns);
}

uint64_t Pacer::position(int64_t now_ns) const {
  if (paused_) now_ns = paused_at_ns_;
  uint64_t frames = elapsed_frames(now_ns);
  if (!stall_ || frames <= stall_->at_frame) return frames;
  const int64_t stall_end = plain_time_of(stall_->at_frame) + stall_->duration_ns;
  if (now_ns < stall_end) return stall_->at_frame;
  if (!stall_->shift) return frames;
  return stall_->at_frame + elapsed_frames(now_ns - stall_end + start_ns_);
}

int64_t Pacer::time_of(uint64_t frame) const {
  int64_t t = plain_time_of(frame);
  if (stall_ && frame > stall_->at_frame) {
    int64_t stall_end = plain_time_of(stall_->at_frame) + stall_->duration_ns;
    if (stall_->shift) {
      // The frames after the stall come as many frames after its end.
      return stall_end + (plain_time_of(frame - stall_->at_frame) - start_ns_);
    }
    if (t < stall_end) t = stall_end;
  }
  return t;
}

}  // namespace testcard
