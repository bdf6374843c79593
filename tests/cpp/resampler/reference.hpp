// A plain transcription of the per-sample steps, with sums in ascending tap order and
// no ring tricks, to check the fast path against.
#pragma once

#include <cstdint>
#include <deque>
#include <numeric>
#include <vector>

#include "resampler/polyphase.hpp"

namespace murello::testing {

class ReferenceResampler {
 public:
  explicit ReferenceResampler(const Resampler& r)
      : r_(r), recent_(r.taps(), 0.0) {
    const uint64_t g = std::gcd(r.input_hz(), r.output_hz());
    interpolated_ = r.form() == Resampler::Form::Interpolated;
    up_ = interpolated_ ? r.output_hz() : r.output_hz() / g;
    down_ = interpolated_ ? r.input_hz() : r.input_hz() / g;
  }

  void push(double x, std::vector<float>& out) {
    recent_.pop_back();
    recent_.push_front(x);  // recent_[k] is the input k steps before the newest
    const uint64_t i = seen_++;
    if (i != next_) return;
    for (;;) {
      out.push_back(static_cast<float>(interpolated_ ? blended_sum() : rational_sum()));
      const uint64_t t = position_ + down_;
      position_ = t % up_;
      next_ = i + t / up_;
      if (t >= up_) return;
    }
  }

 private:
  double rational_sum() const {
    double y = 0;
    for (uint64_t k = 0; k < r_.taps(); ++k) y += r_.coefficient(position_, k) * recent_[k];
    return y;
  }

  double blended_sum() const {
    const uint64_t m = 512 * position_ / up_;
    const double frac = double((512 * position_) % up_) / double(up_);
    double y = 0;
    for (uint64_t k = 0; k < r_.taps(); ++k) {
      const double lower = r_.coefficient(m, k);
      double upper;
      if (m + 1 < 512) {
        upper = r_.coefficient(m + 1, k);
      } else {
        upper = k + 1 < r_.taps() ? r_.coefficient(0, k + 1) : 0.0;
      }
      y += (lower + frac * (upper - lower)) * recent_[k];
    }
    return y;
  }

  const Resampler& r_;
  std::deque<double> recent_;
  bool interpolated_ = false;
  uint64_t up_ = 0;
  uint64_t down_ = 0;
  uint64_t position_ = 0;
  uint64_t next_ = 0;
  uint64_t seen_ = 0;
};

}  // namespace murello::testing
