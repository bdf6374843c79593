// The resampler's own error value.
#pragma once

#include <cstdint>
#include <string>

namespace murello {

struct ResamplerError {
  enum class Kind {
    ZeroSampleRate,     // a rate of 0 Hz was asked for
    FilterTooLarge,     // the rate pair needs more taps than the design allows
    ProcessAfterFlush,  // process() after flush(); there is no reset
  };

  Kind kind;
  uint32_t input_rate = 0;  // FilterTooLarge only
  uint32_t output_rate = 0;

  std::string message() const {
    switch (kind) {
      case Kind::ZeroSampleRate:
        return "sample rate must be greater than 0";
      case Kind::FilterTooLarge:
        return "the requested rate pair requires a filter larger than the supported maximum";
      case Kind::ProcessAfterFlush:
        return "process after flush requires a reset";
    }
    return {};
  }
};

}  // namespace murello
