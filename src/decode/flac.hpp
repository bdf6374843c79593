// Native FLAC stream decoding.
#pragma once

#include <cstdint>
#include <span>

#include "decode/audio.hpp"
#include "decode/error.hpp"
#include "util/result.hpp"

namespace murello {

// Decodes a whole native FLAC stream (starting with "fLaC") held in memory.
Result<DecodedAudio, DecodeError> decode_flac(std::span<const uint8_t> file);

}  // namespace murello
