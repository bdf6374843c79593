// SampleFifo: a first-in first-out run of float samples, appended at the back and taken
// from the front in bulk.
//
// The storage is one vector with a read position; the taken prefix is dropped once it
// outgrows what is still held, so appends and takes cost amortised linear time.
// Threads: one at a time (its owner locks).
#pragma once

#include <algorithm>
#include <span>
#include <vector>

namespace murello {

class SampleFifo {
 public:
  size_t size() const { return samples_.size() - front_; }
  bool empty() const { return size() == 0; }

  void append(std::span<const float> more) {
    if (front_ > 0 && front_ >= size()) {
      samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(front_));
      front_ = 0;
    }
    samples_.insert(samples_.end(), more.begin(), more.end());
  }

  // Removes up to `count` samples from the front and returns them.
  std::vector<float> take(size_t count) {
    count = std::min(count, size());
    const auto first = samples_.begin() + static_cast<std::ptrdiff_t>(front_);
    std::vector<float> out(first, first + static_cast<std::ptrdiff_t>(count));
    front_ += count;
    if (front_ == samples_.size()) {
      samples_.clear();
      front_ = 0;
    }
    return out;
  }

 private:
  std::vector<float> samples_;
  size_t front_ = 0;
};

}  // namespace murello
