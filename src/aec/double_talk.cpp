#include "aec/double_talk.hpp"

#include <algorithm>
#include <cmath>

namespace murello::aec {
namespace {

constexpr double kActivity = 1e-4;  // of the far-energy peak
constexpr double kWarmCoherence = 0.81;
constexpr std::size_t kWarmBlocks = 32;
constexpr double kHoldBelow = 0.2;
constexpr double kEnterDeviations = 3.0;
constexpr double kLeaveDeviations = 10.0;
constexpr double kMinDeviation = 0.01;
constexpr double kMaxDeviation = 0.2;
constexpr double kDoubleTalkMu = 0.01;

}  // namespace

double coherence(const float* d, const float* y, std::size_t n) {
  double dy = 0.0, dd = 0.0, yy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    dy += static_cast<double>(d[i]) * y[i];
    dd += static_cast<double>(d[i]) * d[i];
    yy += static_cast<double>(y[i]) * y[i];
  }
  return dy > 0.0 ? dy * dy / (dd * yy) : 0.0;
}

void DoubleTalk::update_mean(double c) {
  if (mean_ <= 0.0) {
    mean_ = c;
  } else if (c > mean_) {
    mean_ = 0.5 * c + 0.5 * mean_;
  } else {
    mean_ = 0.01 * c + 0.99 * mean_;
  }
}

void DoubleTalk::update(double far_energy, double c) {
  far_peak_ = std::max(far_peak_, far_energy);
  if (!(far_peak_ > 0.0 && far_energy > kActivity * far_peak_)) return;

  update_mean(c);
  smoothed_ = 0.8 * smoothed_ + 0.2 * c;
  if (!warm_) {
    deviation_ = 0.95 * deviation_ + 0.05 * std::fabs(c - mean_);
    ++active_blocks_;
    warm_ = c >= kWarmCoherence || active_blocks_ >= kWarmBlocks;
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
  if (!double_talk_) deviation_ = 0.95 * deviation_ + 0.05 * std::fabs(c - mean_);
  held_ = double_talk_ || smoothed_ < kHoldBelow;
  mu_ = double_talk_ ? kDoubleTalkMu : std::clamp(2.0 * smoothed_, kDoubleTalkMu, 1.0);
}

}  // namespace murello::aec
