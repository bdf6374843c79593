// write_aiff: an AIFF or AIFF-C file image from float samples.
//
// Conventions: samples are float32, frame-interleaved (channel 0 first), full scale
// -1.0..+1.0, encoded as the format's layout does. Counts are samples unless named
// frames; sizes are bytes. Formats 0, 2, 3 and 4 are written as plain AIFF, the others
// as AIFF-C with their compression type.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "audiofile/aiff/reader.hpp"
#include "audiofile/error.hpp"
#include "util/result.hpp"

namespace murello {

struct AiffWriteRequest {
  uint32_t sample_rate_hz = 0;
  int16_t channels = 0;  // AIFF stores numChannels as a signed 16-bit field
  AiffSampleFormat format = AiffSampleFormat::Signed16Be;
};

// The 80-bit extended value of a non-zero rate, as COMM stores it (big-endian).
std::array<uint8_t, 10> aiff_extended_rate(uint32_t sample_rate_hz);

// The FORM size field for `data_bytes` of samples (which may exceed 32 bits; the writer
// refuses such audio).
uint64_t aiff_form_bytes(AiffSampleFormat format, uint64_t data_bytes);

// Appends the file image to `out` and returns its size. Errors, checked in this order
// before anything is appended: UnsupportedChannelCount (channels below 1); Malformed at
// byte 28 (AIFF) or 40 (AIFF-C) for sample rate 0; Truncated (a partial frame: needed
// the frame's bytes, available the bytes of the samples left over); Malformed at byte 4
// when the FORM size would not fit in 32 bits.
Result<size_t, DecodeError> write_aiff(const AiffWriteRequest& request,
                                       std::span<const float> samples,
                                       std::vector<uint8_t>& out);

// Appends only the header of the file image write_aiff makes for `frames` frames (all
// but the samples and the pad byte), for a writer that streams the samples after it.
// Errors as write_aiff's, but for the partial frame.
Result<size_t, DecodeError> write_aiff_header(const AiffWriteRequest& request, uint64_t frames,
                                              std::vector<uint8_t>& out);

}  // namespace murello
