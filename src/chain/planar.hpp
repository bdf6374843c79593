// Planar and interleaved layouts of multi-channel blocks.
//
// Conventions: an interleaved block holds frame after frame, channel 0 first within a
// frame; a planar block holds all of channel 0, then all of channel 1, ... Lengths count
// samples of all channels; a block of n samples with c channels has n / max(c, 1) frames
// and a trailing partial frame is ignored. Functions append to `out` and never shrink it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace murello {

// Frames (samples per channel) of a block of `samples` samples with `channels` channels.
inline size_t block_frames(size_t samples, uint16_t channels) {
  return samples / std::max<size_t>(channels, 1);
}

// Appends `in` to `out` and returns the appended samples, ready to be rewritten in place.
std::span<float> append_block(std::span<const float> in, std::vector<float>& out);

// Appends the planar form of an interleaved block.
void deinterleave(std::span<const float> in, uint16_t channels, std::vector<float>& out);

// Appends the interleaved form of a planar block.
void interleave(std::span<const float> in, uint16_t channels, std::vector<float>& out);

// Appends two planar blocks of the same channel count merged channel by channel: each
// channel's run from `head` followed by its run from `tail`.
void append_planar_runs(std::span<const float> head, std::span<const float> tail,
                        uint16_t channels, std::vector<float>& out);

}  // namespace murello
