// encode_flac: a complete native FLAC stream from float samples, at levels 0 to 8.
//
// Conventions: samples are float32, frame-interleaved (channel 0 first), full scale
// -1.0..+1.0; counts are samples unless named frames (samples per channel). The stream
// is appended to `out`; byte offsets in errors count from where it would have started.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "audiofile/error.hpp"
#include "util/result.hpp"

namespace murello {

struct FlacEncodeRequest {
  uint32_t sample_rate_hz = 0;    // 1..1048575
  uint16_t channels = 0;          // 1..8
  uint8_t bits_per_sample = 16;   // 4..32
  uint8_t compression_level = 5;  // 0 (fastest) .. 8 (smallest)
};

// Quantises each sample (clamped to -1..1, NaN as 0, scaled by 2^(bits - 1), truncated
// toward zero, clamped to the depth's range), then writes "fLaC", one STREAMINFO block
// (with the MD5 of the quantised samples) and the frames. Returns the bytes appended.
// Errors, checked in this order before anything is appended: UnsupportedChannelCount;
// Malformed at byte 18 (sample rate); UnsupportedBitDepth (codec 'FLAC'); Malformed at
// byte 0 (level); Truncated (a partial frame: needed channels, available the remainder);
// Malformed at byte 21 (2^36 frames or more).
Result<size_t, DecodeError> encode_flac(const FlacEncodeRequest& request,
                                        std::span<const float> samples,
                                        std::vector<uint8_t>& out);

}  // namespace murello
