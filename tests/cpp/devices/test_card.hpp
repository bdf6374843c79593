// Helpers for tests that stream on the test sound card (tests/alsa).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <thread>

namespace murello::test_card {

// Points ALSA at the test card's configuration alone.
inline void use() { setenv("ALSA_CONFIG_PATH", MURELLO_TEST_ALSA_CONFIG, 1); }

// Waits for `done` to hold. The limit only guards against a hang; it is no timing check.
template <class Predicate>
bool eventually(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Follows the card's ramp signal, whose samples count up by one in interleaved order
// (modulo 2^24), and counts the places where it jumps.
class RampFollower {
 public:
  void feed(std::span<const float> samples) {
    for (float s : samples) {
      auto value = static_cast<uint64_t>(s);
      if (started_ && value != (next_ & kMask)) {
        ++breaks_;
        last_break_from_ = next_ & kMask;
        last_break_to_ = value;
      }
      if (!started_) first_ = value;
      started_ = true;
      next_ = value + 1;
      ++samples_;
    }
  }
  uint64_t first() const { return first_; }
  uint64_t samples() const { return samples_; }
  uint64_t breaks() const { return breaks_; }
  // Where the last break went from (the value expected) and to (the value seen).
  uint64_t last_break_from() const { return last_break_from_; }
  uint64_t last_break_to() const { return last_break_to_; }

 private:
  static constexpr uint64_t kMask = (uint64_t{1} << 24) - 1;
  bool started_ = false;
  uint64_t first_ = 0;
  uint64_t next_ = 0;
  uint64_t samples_ = 0;
  uint64_t breaks_ = 0;
  uint64_t last_break_from_ = 0;
  uint64_t last_break_to_ = 0;
};

// The contents of a small text or binary file; empty when it cannot be read.
std::string read_file(const std::string& path);

// A fresh path in the test's temporary folder.
std::string temp_path(const std::string& name);

}  // namespace murello::test_card
