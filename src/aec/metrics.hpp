// Metrics: what one engine reports about its state.
#pragma once

#include <cstdint>
#include <optional>

namespace murello::aec {

struct Metrics {
  std::optional<std::uint64_t> delay;  // samples; absent until a delay is established
  float erle_db = 0.0f;                // echo return loss enhancement, smoothed
  bool adaptation_held = false;
  std::uint64_t far_missing = 0;            // aligned far samples read as silence
  std::uint64_t samples_without_delay = 0;  // near samples processed with no delay
  std::uint64_t search_restarts = 0;        // times the delay search started over
};

}  // namespace murello::aec
