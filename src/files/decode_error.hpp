// The audio-file library's errors as core errors.
//
// Conventions: the decoder's display text becomes the detail of the core message, so a
// caller sees the same byte offsets and expectations the decoder reported.
#pragma once

#include "core/error.hpp"
#include "audiofile/error.hpp"

namespace murello {

// Container, codec, bit-depth and channel-count refusals -> AudioFormatUnsupported;
// Malformed -> AudioFileMalformed; Truncated -> AudioFileTruncated; a resampler error ->
// its own kind (as the stage chain maps it).
CoreError core_error_from_decode(const DecodeError& error);

}  // namespace murello
