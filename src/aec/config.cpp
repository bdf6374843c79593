#include "aec/config.hpp"

#include <string>

namespace murello::aec {

Result<void, AecError> validate(const EngineConfig& config) {
  if (config.sample_rate_hz < 8000 || config.sample_rate_hz > 48000) {
    return AecError{AecErrorKind::kSampleRate, "sample rate must be between 8000 and 48000 Hz"};
  }
  if (config.tail_ms < 16 || config.tail_ms > 500) {
    return AecError{AecErrorKind::kConfig, "filter tail must be between 16 and 500 milliseconds"};
  }
  if (config.max_delay_ms < 10 || config.max_delay_ms > 1000) {
    return AecError{AecErrorKind::kConfig, "maximum echo delay must be between 10 and 1000 milliseconds"};
  }
  if (config.ceiling_ms < config.max_delay_ms || config.ceiling_ms > 2000) {
    return AecError{AecErrorKind::kConfig, "coarse search ceiling must be between the fine search window (" +
                                               std::to_string(config.max_delay_ms) +
                                               " ms) and 2000 milliseconds"};
  }
  return {};
}

}  // namespace murello::aec
