// FlacFrameEncoder: codes one block of interleaved integer samples as one FLAC frame,
// choosing the stereo decorrelation of its level.
//
// Conventions: a block is `frames` samples per channel (at most the level's block size);
// samples are integers already at the stream's bit depth. Everything is allocated at
// construction; `encode` allocates nothing beyond growing the output vector.
// Single-threaded.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audiofile/flac_encoder/bit_writer.hpp"
#include "audiofile/flac_encoder/level.hpp"
#include "audiofile/flac_encoder/subframe.hpp"

namespace murello {

// How the two channels of a stereo frame are coded, in the order ties are broken.
enum class ChannelPairing : uint8_t { LeftRight, LeftSide, SideRight, MidSide };

// The stereo mode "estimated" scores a channel by this cost estimate in bits:
// N * (log2(m + 1) + 2), with m the mean magnitude of the second difference.
template <class Sample>
double estimate_channel_bits(std::span<const Sample> x);

class FlacFrameEncoder {
 public:
  FlacFrameEncoder(const FlacLevel& level, unsigned channels, unsigned bits_per_sample,
                   uint32_t sample_rate_hz);

  // Appends the frame numbered `frame_number`; returns its size in bytes.
  size_t encode(std::span<const int32_t> interleaved, uint32_t frames, uint64_t frame_number,
                FlacBitWriter& writer);

 private:
  void deinterleave(std::span<const int32_t> interleaved, uint32_t frames);
  ChannelPairing choose_pairing(uint32_t frames);
  void plan_independent(uint32_t frames);
  void plan_pairing(ChannelPairing pairing, uint32_t frames);
  uint64_t side_plan(uint32_t frames);
  uint64_t plan_channel(unsigned index, uint32_t frames, unsigned bits);
  void write_subframes(FlacBitWriter& writer, ChannelPairing pairing) const;

  const FlacLevel& level_;
  const unsigned channels_;
  const unsigned bits_;
  const uint32_t sample_rate_hz_;
  const unsigned mid_;   // index of the mid channel among planar_ and encoders_ (stereo)
  const unsigned side_;  // index of the side channel (stereo, bits below 32)
  LpcWindows windows_;
  std::vector<std::vector<int32_t>> planar_;  // channels, then mid and side in stereo
  std::vector<int64_t> wide_side_;            // side of 32-bit stereo, which needs 33 bits
  std::vector<SubframeEncoder<int32_t>> encoders_;
  std::unique_ptr<SubframeEncoder<int64_t>> wide_side_encoder_;
  uint64_t planned_bits_ = 0;
};

}  // namespace murello
