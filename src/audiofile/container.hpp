// The entry point of the audio-file library: recognises the container from its leading
// bytes and hands the buffer to the matching reader.
//
// Conventions: the buffer holds the whole file; nothing here touches the file system.
// Samples come back frame-interleaved as float32; the rate is in Hz as the file declares it.
#pragma once

#include <cstdint>
#include <span>

#include "audiofile/audio.hpp"
#include "audiofile/error.hpp"
#include "util/result.hpp"

namespace murello {

// Decodes a WAV, RF64, AIFF, AIFF-C or native FLAC file (after an ID3v2 tag, if one is in
// front of it) held in memory. A buffer shorter than 12 bytes is Truncated whatever it
// starts with; leading bytes of no known container (or a known container with a foreign
// form type) give UnrecognisedContainer.
// Thread-safe: no shared state.
Result<DecodedAudio, DecodeError> decode_audio(std::span<const uint8_t> file);

// The header facts of the same containers, after the checks decode_audio makes before it
// converts samples (for FLAC: the metadata blocks only), with the same errors.
Result<AudioHeader, DecodeError> read_audio_header(std::span<const uint8_t> file);

}  // namespace murello
