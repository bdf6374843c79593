// Envelope: decimates a stream to the mean of |x| over each group of `factor`
// consecutive samples, appending every finished value to a ring.
#pragma once

#include <cstddef>
#include <span>

#include "aec/ring.hpp"

namespace murello::aec {

class Envelope {
 public:
  Envelope(std::size_t factor, std::size_t capacity) : factor_(factor), values_(capacity) {}

  void push(float x) {
    sum_ += x < 0 ? -static_cast<double>(x) : static_cast<double>(x);
    if (++count_ == factor_) {
      values_.push(static_cast<float>(sum_ / static_cast<double>(factor_)));
      sum_ = 0.0;
      count_ = 0;
    }
  }
  void push(std::span<const float> samples) {
    for (float x : samples) push(x);
  }

  const HistoryRing& values() const { return values_; }

 private:
  std::size_t factor_;
  HistoryRing values_;
  double sum_ = 0.0;
  std::size_t count_ = 0;
};

}  // namespace murello::aec
