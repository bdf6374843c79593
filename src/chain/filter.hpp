// The conditioning list's linear filters: DC removal and the high-pass.
//
// Conventions: blocks are planar (see stage.hpp); rates are whole hz. Both filters run in
// single precision with separate multiplies and adds, one state per channel, carried
// across blocks. A state that overflows (inputs near the float maximum) is reset to rest
// and that sample comes out as 0.0, so it costs only its own neighbourhood. Neither has
// look-ahead, so flush appends nothing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "chain/stage.hpp"

namespace murello {

// One-pole/one-zero DC blocker: y = y1 * 0.995 + (x - x1).
class DcRemovalStage final : public Stage {
 public:
  explicit DcRemovalStage(uint16_t channels);

  Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                  std::vector<float>& out) override;

 private:
  struct History {
    float x1 = 0.0f;
    float y1 = 0.0f;
  };
  std::vector<History> history_;  // one per channel
};

// Normalised second-order section: b0, b1, b2 over a0 = 1, a1, a2.
struct BiquadCoefficients {
  float b0;
  float b1;
  float b2;
  float a1;
  float a2;
};

// Butterworth (Q = 1/sqrt 2) high-pass at `cutoff` for a signal at `rate_hz`, designed in
// single precision. `cutoff` must not be None.
BiquadCoefficients design_highpass(HighpassCutoff cutoff, uint32_t rate_hz);

// Transposed direct form II biquad; the coefficients are shared by all channels.
class HighpassStage final : public Stage {
 public:
  HighpassStage(HighpassCutoff cutoff, uint32_t rate_hz, uint16_t channels);

  Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                  std::vector<float>& out) override;

  const BiquadCoefficients& coefficients() const { return coefficients_; }

 private:
  struct State {
    float s1 = 0.0f;
    float s2 = 0.0f;
  };
  BiquadCoefficients coefficients_;
  std::vector<State> state_;  // one per channel
};

}  // namespace murello
