// Inter-channel decorrelation of a stereo FLAC frame.
//
// Conventions: `first` and `second` are the two decoded subframes of one block
// (frames), in stored order; on return they hold left and right.
#pragma once

#include <cstdint>
#include <span>

namespace murello {

// Undoes left/side, side/right or mid/side coding (`channel_code` 8, 9 or 10); codes
// below 8 are independent channels and are left alone.
void decorrelate_flac_channels(uint8_t channel_code, std::span<int64_t> first,
                               std::span<int64_t> second);

}  // namespace murello
