// The body of one FLAC frame: its subframes, the CRC-16 over the whole frame, and
// inter-channel decorrelation.
//
// Conventions: `channels` holds one span per channel, each block-size frames long;
// offsets are bytes from the start of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "audiofile/flac/bitreader.hpp"
#include "audiofile/error.hpp"
#include "audiofile/flac/header_reader.hpp"
#include "util/result.hpp"

namespace murello {

// Reads the subframes that follow `fields` at `bits_per_sample`, checks the frame's
// CRC-16 and leaves the decorrelated samples in `channels`. Returns the offset of the
// byte after the frame.
Result<size_t, DecodeError> read_flac_frame_body(std::span<const uint8_t> file, BitReader& reader,
                                                 const FlacFrameFields& fields,
                                                 unsigned bits_per_sample,
                                                 std::span<const std::span<int64_t>> channels);

}  // namespace murello
