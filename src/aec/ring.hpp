// HistoryRing: the most recent `capacity` values of an endless float stream,
// addressed by absolute position (0 = the first value ever written).
//
// Reads of positions never written, or already overwritten, give 0.0 and are
// counted as missing, so callers can account for silence they had to invent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace murello::aec {

class HistoryRing {
 public:
  explicit HistoryRing(std::size_t capacity);

  std::size_t capacity() const { return data_.size(); }
  std::uint64_t written() const { return written_; }

  void push(float value) {
    data_[static_cast<std::size_t>(written_ % data_.size())] = value;
    ++written_;
  }
  void push(std::span<const float> values);

  // Fills `out` with positions start ... start + out.size() - 1 (start may be
  // negative) and returns how many of them were missing.
  std::size_t read(std::int64_t start, std::span<float> out) const;

  void clear();

 private:
  std::vector<float> data_;
  std::uint64_t written_ = 0;
};

}  // namespace murello::aec
