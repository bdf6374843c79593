#include "aec/transition.hpp"

#include <algorithm>

namespace murello::aec {

Transition::Transition(std::uint32_t rate_hz, std::uint32_t fall_ms, std::uint32_t rise_ms, std::size_t block)
    : fall_step_(static_cast<float>(1.0 / std::max(static_cast<double>(rate_hz) * fall_ms / 1000.0, 1.0))),
      rise_step_(static_cast<float>(1.0 / std::max(static_cast<double>(rate_hz) * rise_ms / 1000.0, 1.0))),
      unprocessed_(block),
      gains_(block, 1.0f) {}

void Transition::record(std::size_t index, float unprocessed, bool falling) {
  gain_ = falling ? std::max(gain_ - fall_step_, 0.0f) : std::min(gain_ + rise_step_, 1.0f);
  unprocessed_[index] = unprocessed;
  gains_[index] = gain_;
}

void Transition::apply(float* processed, std::size_t count) const {
  for (std::size_t i = 0; i < count; ++i) {
    const float g = gains_[i];
    // Written as a step from the processed value, so a sample the engine left
    // unchanged comes out exactly as it went in, whatever the gain.
    if (g != 1.0f) processed[i] += (1.0f - g) * (unprocessed_[i] - processed[i]);
  }
}

}  // namespace murello::aec
