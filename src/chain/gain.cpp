#include "chain/gain.hpp"

#include <algorithm>
#include <cmath>

#include "chain/planar.hpp"

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
  parameters_ = {static_cast<uint64_t>(fs * kHoldSeconds),
                 db_to_linear(static_cast<float>(target_db)),
                 kGate,
                 kMaxGain,
                 kMinGain,
                 smoothing(kLevelSeconds, fs),
                 db_to_linear(kMaxRiseDbPerSecond / fs),
                 smoothing(kFallSeconds, fs),
                 smoothing(kWarmupRiseSeconds, fs)};
  state_.warmup_frames = static_cast<uint64_t>(fs * kWarmupSeconds);
}

Result<void, CoreError> AgcStage::process(std::span<const float> in, uint16_t channels,
                                          std::vector<float>& out) {
  std::span<float> block = append_block(in, out);
  const size_t c = std::max<size_t>(channels, 1);
  const size_t frames = block_frames(block.size(), channels);
  const float count = static_cast<float>(c);
  const Parameters p = parameters_;
  State s = state_;
  for (size_t i = 0; i < frames; ++i) {
    // The frame is scaled by the gain from before it; the gain then follows its level.
    float sum = 0.0f;
    for (size_t k = 0; k < c; ++k) {
      float& x = block[k * frames + i];
      sum += x * x;
      x = s.gain * x;
    }
    const float mean_square = sum / count;
    // A frame too loud to square would poison the estimate (and the gain) for good.
    if (std::isfinite(mean_square)) {
      s.power = s.power + (mean_square - s.power) * p.level_coefficient;
    }
    update_gain(p, s, std::sqrt(s.power));
  }
  state_ = s;
  return {};
}

void AgcStage::update_gain(const Parameters& p, State& s, float rms) {
  if (rms > p.gate) {
    s.hold_counter = p.hold_frames;
  } else if (s.hold_counter > 0) {
    --s.hold_counter;
  } else {
    return;
  }
  const float desired = std::min(std::max(p.target / rms, p.min_gain), p.max_gain);
  if (s.gain < desired) {
    if (s.warmup_frames > 0) {
      s.gain = s.gain + (desired - s.gain) * p.warmup_rise_coefficient;
      --s.warmup_frames;
    } else {
      s.gain = std::min(s.gain * p.rise_step, desired);
    }
  } else {
    s.gain = s.gain + (desired - s.gain) * p.fall_coefficient;
    if (s.warmup_frames > 0) --s.warmup_frames;
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
  float gain = gain_;  // a local, so sample stores cannot force it back to memory
  for (size_t i = 0; i < frames; ++i) {
    float peak = 0.0f;
    for (size_t k = 0; k < c; ++k) {
      const float magnitude = std::fabs(block[k * frames + i]);
      peak = magnitude > peak ? magnitude : peak;  // a NaN never compares greater
    }
    const float target = peak > ceiling ? ceiling / peak : 1.0f;
    const float coefficient = target < gain ? attack_coefficient_ : release_coefficient_;
    gain = gain + (target - gain) * coefficient;
    for (size_t k = 0; k < c; ++k) {
      float& x = block[k * frames + i];
      const float y = gain * x;
      x = std::isnan(y) ? 0.0f : std::clamp(y, -ceiling, ceiling);
    }
  }
  gain_ = gain;
  return {};
}

}  // namespace murello
