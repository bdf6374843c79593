// DecodedAudio: what every reader of the audio-file library returns.
#pragma once

#include <cstdint>
#include <vector>

namespace murello {

struct DecodedAudio {
  std::vector<float> samples;  // frame-interleaved, channel 0 first
  uint32_t sample_rate_hz = 0; // exactly as the file declares it
  uint16_t channels = 0;       // at least 1
};

}  // namespace murello
