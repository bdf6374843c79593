#include "chain/filter.hpp"

#include <cmath>

#include "chain/finite.hpp"
#include "chain/planar.hpp"

namespace murello {

namespace {

constexpr float kDcPole = 0.995f;
// 2 pi times the cut-off, as single-precision constants.
constexpr float kOmega100Hz = 628.31854f;
constexpr float kOmega80Hz = 502.65485f;
constexpr float kInverseQ = 1.4142135f;  // Q = 1 / sqrt 2, so alpha = sin / sqrt 2

}  // namespace

DcRemovalStage::DcRemovalStage(uint16_t channels) : history_(std::max<uint16_t>(channels, 1)) {}

Result<void, CoreError> DcRemovalStage::process(std::span<const float> in, uint16_t channels,
                                                std::vector<float>& out) {
  std::span<float> block = append_block(in, out);
  const size_t c = std::max<size_t>(channels, 1);
  const size_t frames = block_frames(block.size(), channels);
  if (history_.size() < c) history_.resize(c);
  for (size_t k = 0; k < c; ++k) {
    float* run = block.data() + k * frames;
    float x1 = history_[k].x1;
    float y1 = history_[k].y1;
    for (size_t f = 0; f < frames; ++f) {
      const float x = run[f];
      float y = y1 * kDcPole + (x - x1);
      x1 = x;
      if (!is_finite_sample(y)) [[unlikely]] {
        // Inputs near the float maximum overflowed: start again from rest.
        y = 0.0f;
        x1 = 0.0f;
      }
      run[f] = y;
      y1 = y;
    }
    history_[k] = {x1, y1};
  }
  return {};
}

BiquadCoefficients design_highpass(HighpassCutoff cutoff, uint32_t rate_hz) {
  const float omega = (cutoff == HighpassCutoff::Hz80 ? kOmega80Hz : kOmega100Hz) /
                      static_cast<float>(rate_hz);
  float sin_omega = 0.0f;
  float cos_omega = 0.0f;
  ::sincosf(omega, &sin_omega, &cos_omega);
  const float alpha = sin_omega / kInverseQ;
  const float a0 = 1.0f + alpha;
  const float b0 = (1.0f + cos_omega) * 0.5f / a0;
  return {b0, -(1.0f + cos_omega) / a0, b0, (cos_omega * -2.0f) / a0, (1.0f - alpha) / a0};
}

HighpassStage::HighpassStage(HighpassCutoff cutoff, uint32_t rate_hz, uint16_t channels)
    : coefficients_(design_highpass(cutoff, rate_hz)), state_(std::max<uint16_t>(channels, 1)) {}

Result<void, CoreError> HighpassStage::process(std::span<const float> in, uint16_t channels,
                                               std::vector<float>& out) {
  std::span<float> block = append_block(in, out);
  const size_t c = std::max<size_t>(channels, 1);
  const size_t frames = block_frames(block.size(), channels);
  if (state_.size() < c) state_.resize(c);
  const auto [b0, b1, b2, a1, a2] = coefficients_;
  for (size_t k = 0; k < c; ++k) {
    float* run = block.data() + k * frames;
    float s1 = state_[k].s1;
    float s2 = state_[k].s2;
    for (size_t f = 0; f < frames; ++f) {
      const float x = run[f];
      float y = s1 + b0 * x;
      s1 = s2 + (b1 * x - a1 * y);
      s2 = b2 * x - a2 * y;
      if (!(is_finite_sample(y) && is_finite_sample(s1) && is_finite_sample(s2))) [[unlikely]] {
        // Inputs near the float maximum overflowed: start again from rest.
        y = s1 = s2 = 0.0f;
      }
      run[f] = y;
    }
    state_[k] = {s1, s2};
  }
  return {};
}

}  // namespace murello
