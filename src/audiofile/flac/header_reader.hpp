// Reading the header of one FLAC frame: sync code, block size, sample rate, channel
// assignment, bit depth and coded frame number, protected by a CRC-8.
//
// Conventions: block sizes are frames (samples per channel), rates hz; a bit depth of 0
// means the frame defers to STREAMINFO, and so does a rate that is not given. Offsets in
// errors are bytes from the start of the file.
#pragma once

#include <cstdint>
#include <span>

#include "audiofile/flac/bitreader.hpp"
#include "audiofile/error.hpp"
#include "util/result.hpp"

namespace murello {

// A fuzzing build (MURELLO_FUZZ_SKIP_CRC) accepts frames whatever their CRC-8 and CRC-16
// say, so that mutated input reaches the subframe and residual decoders instead of
// stopping at the checksum. Never defined in a build that users get.
#ifdef MURELLO_FUZZ_SKIP_CRC
inline constexpr bool kCheckFlacFrameCrcs = false;
#else
inline constexpr bool kCheckFlacFrameCrcs = true;
#endif

struct FlacFrameFields {
  // Channel assignments above the independent ones (codes 0..7 are 1..8 channels).
  static constexpr uint8_t kLeftSide = 8;
  static constexpr uint8_t kSideRight = 9;
  static constexpr uint8_t kMidSide = 10;

  bool variable_blocking = false;
  uint32_t block_size_frames = 0;
  bool rate_given = false;       // false = as STREAMINFO
  uint32_t sample_rate_hz = 0;   // when given (0 in a broken stream)
  uint16_t bits_per_sample = 0;  // 0 = as STREAMINFO
  uint8_t channel_code = 0;      // 0..10
  // The frame's number (fixed blocking) or its first sample's (variable blocking).
  uint64_t coded_number = 0;

  uint16_t channel_count() const { return channel_code < kLeftSide ? channel_code + 1 : 2; }
};

// Reads the header of the frame at the reader's origin and checks its CRC-8. On
// success the reader stands at the first subframe.
Result<FlacFrameFields, DecodeError> read_flac_frame_fields(std::span<const uint8_t> file,
                                                            BitReader& reader);

}  // namespace murello
