// The FLAC encoder's compression levels 0 to 8: what each level searches.
//
// Conventions: block sizes are samples per channel.
#pragma once

#include <array>
#include <cstdint>

namespace murello {

enum class StereoMode : uint8_t {
  Independent,  // left and right coded as they are
  Estimated,    // pairing chosen from a second-difference cost estimate, then coded
  Exhaustive,   // all four candidate channels coded, cheapest pairing kept
};

struct FlacLevel {
  uint32_t block_frames;
  unsigned max_lpc_order;      // 0: no LPC
  unsigned lpc_orders_tried;   // best-estimated orders coded fully, per window
  unsigned window_count;
  std::array<double, 3> tukey_tapers;
  StereoMode stereo;
  unsigned max_partition_order;
};

inline constexpr unsigned kFlacMaxLevel = 8;

inline constexpr std::array<FlacLevel, kFlacMaxLevel + 1> kFlacLevels = {{
    {1152, 0, 0, 0, {}, StereoMode::Independent, 3},
    {1152, 0, 0, 0, {}, StereoMode::Estimated, 3},
    {1152, 0, 0, 0, {}, StereoMode::Exhaustive, 3},
    {4096, 6, 1, 1, {0.5}, StereoMode::Independent, 4},
    {4096, 8, 1, 1, {0.5}, StereoMode::Estimated, 4},
    {4096, 8, 1, 1, {0.5}, StereoMode::Exhaustive, 5},
    {4096, 8, 2, 1, {0.5}, StereoMode::Exhaustive, 6},
    {4096, 12, 2, 2, {0.5, 1.0}, StereoMode::Exhaustive, 6},
    {4096, 12, 3, 3, {0.5, 1.0, 0.25}, StereoMode::Exhaustive, 6},
}};

}  // namespace murello
