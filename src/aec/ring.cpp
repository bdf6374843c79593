#include "aec/ring.hpp"

#include <algorithm>

namespace murello::aec {

HistoryRing::HistoryRing(std::size_t capacity) : data_(capacity) {}

void HistoryRing::push(std::span<const float> values) {
  for (float v : values) push(v);
}

std::size_t HistoryRing::read(std::int64_t start, std::span<float> out) const {
  const auto capacity = static_cast<std::int64_t>(data_.size());
  const auto written = static_cast<std::int64_t>(written_);
  const std::int64_t oldest = std::max<std::int64_t>(0, written - capacity);
  std::size_t missing = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::int64_t position = start + static_cast<std::int64_t>(i);
    if (position < oldest || position >= written) {
      out[i] = 0.0f;
      ++missing;
    } else {
      out[i] = data_[static_cast<std::size_t>(position % capacity)];
    }
  }
  return missing;
}

void HistoryRing::clear() {
  std::fill(data_.begin(), data_.end(), 0.0f);
  written_ = 0;
}

}  // namespace murello::aec
