// Native FLAC stream decoding.
//
// Conventions: the whole file is one byte buffer; samples come back as interleaved
// float32 frames, each integer sample s scaled by 2^-(bits per sample - 1), at the rate
// and channel count STREAMINFO declares. The decoder is strict: the first violated rule
// is returned as a DecodeError whose offset counts bytes from the start of the file, and
// no partial audio is returned. Safe on hostile input. Any thread; no shared state.
#pragma once

#include <cstdint>
#include <span>

#include "audiofile/audio.hpp"
#include "audiofile/error.hpp"
#include "util/result.hpp"

namespace murello {

// Decodes a whole native FLAC stream (starting with "fLaC") held in memory, checking
// both CRCs of every frame, the declared total sample count and the MD5 signature.
Result<DecodedAudio, DecodeError> decode_flac(std::span<const uint8_t> file);

// What the metadata blocks tell about the audio, checked as decode_flac checks them;
// no frame is read, so errors in the frames go unseen.
Result<AudioHeader, DecodeError> read_flac_header(std::span<const uint8_t> file);

}  // namespace murello
