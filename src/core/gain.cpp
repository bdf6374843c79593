#include "core/gain.hpp"

#include <algorithm>
#include <cmath>

#include "core/planar.hpp"

namespace murello {

namespace {

constexpr float kGate = 0.0031622776f;      // -50 dBFS
constexpr float kMaxGain = 31.622776f;      // +30 dB
constexpr float kMinGain = 0.031622775f;    // -30 dB
constexpr float kWarmupSeconds = 0.1f;
constexpr float kHoldSeconds = 0.2f;
constexpr float kLevelSeconds = 0.4f;
constexpr float kMaxRiseDbPerSecond = 6.0f;
constexpr float kFallSeconds = 0.01f;
constexpr float kWarmupRiseSeconds = 0.02f;
constexpr float kAttackSeconds = 0.0005f;
constexpr float kReleaseSeconds = 0.05f;

float db_to_linear(float db) { return ::powf(10.0f, db / 20.0f); }

// Per-sample smoothing coefficient of a one-pole follower with time constant `seconds`.
float smoothing(float seconds, float rate_hz) { return 1.0f - ::expf(-1.0f / (seconds * rate_hz)); }

}  // namespace

AgcStage::AgcStage(int8_t target_db, uint32_t rate_hz) {
  const float fs = static_cast<float>(rate_hz);
  warmup_frames_ = static_cast<uint64_t>(fs * kWarmupSeconds);
  hold_frames_ = static_cast<uint64_t>(fs * kHoldSeconds);
  target_ = db_to_linear(static_cast<float>(target_db));
  gate_ = kGate;
  max_gain_ = kMaxGain;
  min_gain_ = kMinGain;
  level_coefficient_ = smoothing(kLevelSeconds, fs);
  rise_step_ = db_to_linear(kMaxRiseDbPerSecond / fs);
  fall_coefficient_ = smoothing(kFallSeconds, fs);
  warmup_rise_coefficient_ = smoothing(kWarmupRiseSeconds, fs);
}

Result<void, CoreError> AgcStage::process(std::span<const float> in, uint16_t channels,
                                          std::vector<float>& out) {
  std::span<float> block = append_block(in, out);
  const size_t c = std::max<size_t>(channels, 1);
  const size_t frames = block_frames(block.size(), channels);
  const float count = static_cast<float>(c);
  for (size_t i = 0; i < frames; ++i) {
    // The frame is scaled by the gain from before it; the gain then follows its level.
    float sum = 0.0f;
    for (size_t k = 0; k < c; ++k) {
      float& x = block[k * frames + i];
      sum += x * x;
      x = gain_ * x;
    }
    const float mean_square = sum / count;
    // A frame too loud to square would poison the estimate (and the gain) for good.
    if (std::isfinite(mean_square)) power_ = power_ + (mean_square - power_) * level_coefficient_;
    update_gain(std::sqrt(power_));
  }
  return {};
}

void AgcStage::update_gain(float rms) {
  if (rms > gate_) {
    hold_counter_ = hold_frames_;
  } else if (hold_counter_ > 0) {
    --hold_counter_;
  } else {
    return;
  }
  const float desired = std::min(std::max(target_ / rms, min_gain_), max_gain_);
  if (gain_ < desired) {
    if (warmup_frames_ > 0) {
      gain_ = gain_ + (desired - gain_) * warmup_rise_coefficient_;
      --warmup_frames_;
    } else {
      gain_ = std::min(gain_ * rise_step_, desired);
    }
  } else {
    gain_ = gain_ + (desired - gain_) * fall_coefficient_;
    if (warmup_frames_ > 0) --warmup_frames_;
  }
}

LimiterStage::LimiterStage(float ceiling_db, uint32_t rate_hz)
    : ceiling_(db_to_linear(ceiling_db)),
      attack_coefficient_(smoothing(kAttackSeconds, static_cast<float>(rate_hz))),
      release_coefficient_(smoothing(kReleaseSeconds, static_cast<float>(rate_hz))) {}

Result<void, CoreError> LimiterStage::process(std::span<const float> in, uint16_t channels,
                                              std::vector<float>& out) {
  std::span<float> block = append_block(in, out);
  const size_t c = std::max<size_t>(channels, 1);
  const size_t frames = block_frames(block.size(), channels);
  const float ceiling = ceiling_;
  for (size_t i = 0; i < frames; ++i) {
    float peak = 0.0f;
    for (size_t k = 0; k < c; ++k) {
      const float magnitude = std::fabs(block[k * frames + i]);
      peak = magnitude > peak ? magnitude : peak;  // a NaN never compares greater
    }
    const float target = peak > ceiling ? ceiling / peak : 1.0f;
    const float coefficient = target < gain_ ? attack_coefficient_ : release_coefficient_;
    gain_ = gain_ + (target - gain_) * coefficient;
    for (size_t k = 0; k < c; ++k) {
      float& x = block[k * frames + i];
      const float y = gain_ * x;
      x = std::isnan(y) ? 0.0f : std::clamp(y, -ceiling, ceiling);
    }
  }
  return {};
}

}  // namespace murello
