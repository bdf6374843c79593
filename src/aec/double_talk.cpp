#include "aec/double_talk.hpp"

#include <algorithm>
#include <cmath>

namespace murello::aec {
namespace {

// Block length and rate the per-block constants below were tuned at.
constexpr double kTunedBlockSeconds = 256.0 / 16000.0;
constexpr double kActivity = 1e-4;  // of the far-energy peak
constexpr double kWarmCoherence = 0.81;
constexpr double kWarmBlocks = 128.0;
constexpr double kHoldBelow = 0.2;
constexpr double kEnterDeviations = 3.0;
constexpr double kLeaveDeviations = 10.0;
constexpr double kMinDeviation = 0.01;
constexpr double kMaxDeviation = 0.2;
constexpr double kDoubleTalkMu = 0.01;
constexpr double kMeanRise = 0.5;
constexpr double kMeanFall = 0.99;
constexpr double kSmoothing = 0.8;
constexpr double kDeviationSmoothing = 0.95;

}  // namespace

double coherence(double dy, double dd, double yy) { return dy > 0.0 ? dy * dy / (dd * yy) : 0.0; }

DoubleTalk::DoubleTalk(std::uint32_t rate_hz, std::size_t block) : block_(block) {
  // How many of our blocks one tuned block lasts, and how many tuned blocks one run does.
  const double blocks = kTunedBlockSeconds * rate_hz / static_cast<double>(block);
  span_ = std::clamp<std::size_t>(static_cast<std::size_t>(std::lround(blocks)), 1, kMaxSpan);
  const double per_run = static_cast<double>(span_) / blocks;
  mean_rise_ = std::pow(kMeanRise, per_run);
  mean_fall_ = std::pow(kMeanFall, per_run);
  smoothing_ = std::pow(kSmoothing, per_run);
  deviation_smoothing_ = std::pow(kDeviationSmoothing, per_run);
  warm_runs_ = static_cast<std::size_t>(std::lround(kWarmBlocks / per_run));
  // The step applies at every block.
  double_talk_mu_ = kDoubleTalkMu / blocks;
}

void DoubleTalk::reset() {
  sums_ = {};
  summed_ = 0;
  far_peak_ = mean_ = deviation_ = smoothed_ = 0.0;
  active_runs_ = 0;
  warm_ = double_talk_ = held_ = false;
  mu_ = 1.0;
}

void DoubleTalk::update_mean(double c) {
  if (mean_ <= 0.0) {
    mean_ = c;
  } else if (c > mean_) {
    mean_ = (1.0 - mean_rise_) * c + mean_rise_ * mean_;
  } else {
    mean_ = (1.0 - mean_fall_) * c + mean_fall_ * mean_;
  }
}

void DoubleTalk::update(const float* far, const float* near, const float* echo) {
  for (std::size_t i = 0; i < block_; ++i) {
    sums_.far += static_cast<double>(far[i]) * far[i];
    sums_.dy += static_cast<double>(near[i]) * echo[i];
    sums_.dd += static_cast<double>(near[i]) * near[i];
    sums_.yy += static_cast<double>(echo[i]) * echo[i];
  }
  if (++summed_ < span_) return;
  const Sums sums = sums_;
  sums_ = {};
  summed_ = 0;
  far_peak_ = std::max(far_peak_, sums.far);
  if (!(far_peak_ > 0.0 && sums.far > kActivity * far_peak_)) return;

  const double c = coherence(sums.dy, sums.dd, sums.yy);
  update_mean(c);
  smoothed_ = smoothing_ * smoothed_ + (1.0 - smoothing_) * c;
  if (!warm_) {
    deviation_ = deviation_smoothing_ * deviation_ + (1.0 - deviation_smoothing_) * std::fabs(c - mean_);
    ++active_runs_;
    warm_ = smoothed_ >= kWarmCoherence || active_runs_ >= warm_runs_;
    mu_ = 1.0;
    held_ = smoothed_ < kHoldBelow;
    return;
  }
  // The deviation learns from every step left outside double talk, including steps
  // of double talk that fell just short of the entry threshold; unbounded, that
  // widens the threshold until a long double talk is no longer detected at all and
  // the filter adapts on the near talker.
  const double g = std::clamp(deviation_, kMinDeviation, kMaxDeviation);
  if (double_talk_) {
    double_talk_ = (mean_ - c) / g >= kLeaveDeviations;
  } else {
    double_talk_ = c < mean_ - kEnterDeviations * g;
  }
  if (!double_talk_) {
    deviation_ = deviation_smoothing_ * deviation_ + (1.0 - deviation_smoothing_) * std::fabs(c - mean_);
  }
  held_ = double_talk_ || smoothed_ < kHoldBelow;
  mu_ = double_talk_ ? double_talk_mu_ : std::clamp(2.0 * smoothed_, double_talk_mu_, 1.0);
}

}  // namespace murello::aec
