// The conditioning list's level stages: automatic gain control and the peak limiter.
//
// Conventions: blocks are planar (see stage.hpp); rates are whole hz; levels are dBFS and
// gains linear. Both stages work frame by frame: frame i of a block with c channels and
// L frames is the samples at k * L + i, and one gain is shared by all channels of a frame
// so their balance is kept. Arithmetic is single precision; state persists across blocks
// and is never reset; flush appends nothing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "chain/stage.hpp"

namespace murello {

// Steers the RMS level towards a target: quick in both directions for the first 100 ms of
// updated frames, afterwards falling with a 10 ms time constant but rising by at most
// 6 dB per second, and frozen once the level has stayed below -50 dBFS for 200 ms.
class AgcStage final : public Stage {
 public:
  AgcStage(int8_t target_db, uint32_t rate_hz);

  Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                  std::vector<float>& out) override;

  float gain() const { return state_.gain; }

 private:
  // Fixed at construction from the target and the rate.
  struct Parameters {
    uint64_t hold_frames;
    float target;
    float gate;
    float max_gain;
    float min_gain;
    float level_coefficient;
    float rise_step;
    float fall_coefficient;
    float warmup_rise_coefficient;
  };
  // Carried from frame to frame; process() works on a local copy so that the compiler
  // can keep it in registers instead of reloading it after every sample store.
  struct State {
    uint64_t warmup_frames;
    uint64_t hold_counter = 0;
    float power = 0.0f;  // smoothed mean square
    float gain = 1.0f;
  };

  // Moves the gain towards the level the smoothed power asks for.
  static void update_gain(const Parameters& p, State& s, float rms);

  Parameters parameters_;
  State state_;
};

// Keeps every sample within a ceiling: a smoothed gain (0.5 ms attack, 50 ms release)
// followed by a hard clamp, so short transients inside the attack stay within the ceiling.
class LimiterStage final : public Stage {
 public:
  LimiterStage(float ceiling_db, uint32_t rate_hz);

  Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                  std::vector<float>& out) override;

  float gain() const { return gain_; }
  float ceiling() const { return ceiling_; }

 private:
  float ceiling_;
  float attack_coefficient_;
  float release_coefficient_;
  float gain_ = 1.0f;
};

}  // namespace murello
