// AecError: why the echo canceller refused a configuration or a call.
//
// The kind lets a caller map refusals without parsing text: a sample rate the
// engine cannot run at is told apart from every other configuration refusal.
#pragma once

#include <string>

namespace murello::aec {

enum class AecErrorKind {
  kSampleRate,  // sample rate outside the supported range
  kConfig,      // any other configuration field out of range
  kSize,        // a transform size that is not a power of two
  kLength,      // a buffer of the wrong length handed to a transform (caller's bug)
};

struct AecError {
  AecErrorKind kind;
  std::string message;
};

}  // namespace murello::aec
