// Writing a FLAC frame header (fixed blocking strategy) and the codes it carries.
//
// Conventions: block sizes are samples per channel, rates hz, depths bits per sample.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audiofile/flac_encoder/bit_writer.hpp"

namespace murello {

struct FlacFrameHeader {
  uint32_t block_frames = 0;
  uint32_t sample_rate_hz = 0;
  unsigned channel_code = 0;  // 0..7 independent channels - 1; 8, 9, 10 stereo pairings
  unsigned bits_per_sample = 0;
  uint64_t frame_number = 0;
};

// The 4-bit block-size code: a standard size's own code, else 6 (8-bit size - 1 follows)
// for blocks of at most 256 samples, else 7 (16-bit size - 1 follows).
unsigned flac_block_size_code(uint32_t block_frames);

// The 4-bit sample-rate code of a standard rate, else 0 (the rate streaminfo declares).
unsigned flac_sample_rate_code(uint32_t sample_rate_hz);

// The 3-bit sample-size code of a standard depth, else 0 (the depth streaminfo declares).
unsigned flac_sample_size_code(unsigned bits_per_sample);

// Writes the header, ending with its CRC-8. The writer must be byte-aligned at the frame's
// first byte, which lies at `frame_start` in the writer's vector.
void write_flac_frame_header(FlacBitWriter& writer, const FlacFrameHeader& header,
                             size_t frame_start);

// Pads the frame to a byte boundary and appends its CRC-16.
void write_flac_frame_footer(FlacBitWriter& writer, size_t frame_start);

}  // namespace murello
