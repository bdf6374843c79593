// EngineConfig: what one echo canceller engine is built with.
//
// Times are milliseconds, the rate is Hz. validate() checks the fields in a fixed
// order (rate, tail, maximum delay, coarse ceiling) and returns the first refusal.
#pragma once

#include <cstdint>
#include <optional>

#include "aec/error.hpp"
#include "util/result.hpp"

namespace murello::aec {

enum class Suppression { kConservative, kOff };

// Mode 1 ramps the output towards the unprocessed input while the delay tracker
// trusts no delay, and back once it does; any other mode leaves the output alone.
struct TransitionConfig {
  std::uint32_t mode = 0;
  std::uint32_t fall_ms = 100;
  std::uint32_t rise_ms = 200;
};

struct EngineConfig {
  std::uint32_t sample_rate_hz = 16000;
  std::uint16_t tail_ms = 200;        // filter length, 16 ... 500
  std::uint16_t max_delay_ms = 250;   // fine search window, 10 ... 1000
  std::uint16_t ceiling_ms = 1000;    // coarse search range, max_delay_ms ... 2000
  // Set: delay estimation is off and this delay (capped at max_delay_ms) is applied.
  std::optional<std::uint16_t> fixed_delay_ms;
  Suppression suppression = Suppression::kConservative;
  TransitionConfig transition;
};

Result<void, AecError> validate(const EngineConfig& config);

}  // namespace murello::aec
