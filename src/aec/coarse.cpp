#include "aec/coarse.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace murello::aec {
namespace {

// Averages span at most this many evaluations: on reaching it, the sums and the
// count are halved, so the average follows a delay that moves within a second or
// two at one evaluation per 64 ms while still smoothing over speech pauses.
constexpr std::size_t kAverageLimit = 32;
constexpr std::size_t kMinEvaluations = 4;
constexpr double kMinCorrelation = 0.25;
constexpr double kMinPeakRatio = 1.5;
// A room smears the echo's envelope over tens of milliseconds after the direct
// path, so its correlation peak is broad and often has several humps: at least
// this many lags (about 24 ms) either side of the best always belong to its lobe.
// Much wider, and the lobe swallows the rivals that speech repeating itself
// (a word said twice) sets beside a peak that is not an echo at all.
constexpr std::size_t kMinLobe = 24;
constexpr double kFlat = 1e-12;

std::size_t plan_size(std::size_t values) {
  std::size_t n = 2;
  while (n < values) n *= 2;
  return n;
}

}  // namespace

Result<CoarseSearch, AecError> CoarseSearch::create(std::size_t lags, std::size_t window) {
  auto plan = RealFft::create(plan_size(lags + window));
  if (!plan) return std::move(plan).error();
  return CoarseSearch(lags, window, std::move(plan).value());
}

CoarseSearch::CoarseSearch(std::size_t lags, std::size_t window, RealFft plan)
    : lags_(lags),
      window_(window),
      plan_(std::move(plan)),
      padded_(plan_.size()),
      near_spectrum_(plan_.bins()),
      far_spectrum_(plan_.bins()),
      correlation_(plan_.size()),
      far_sum_(lags + window + 1),
      far_square_(lags + window + 1),
      accumulated_(lags + 1),
      average_(lags + 1) {}

void CoarseSearch::evaluate(std::span<const float> near, std::span<const float> far) {
  const std::size_t n = window_;
  double near_sum = 0.0;
  for (float a : near) near_sum += a;
  // Correlating the near window about its mean gives Σ (a − mean a)·(b − mean b)
  // directly, without cancelling two large sums in single precision.
  const double near_mean = near_sum / static_cast<double>(n);
  double near_energy = 0.0;
  for (float a : near) near_energy += (a - near_mean) * (a - near_mean);
  if (near_energy <= kFlat) return;

  std::fill(padded_.begin(), padded_.end(), 0.0f);
  for (std::size_t j = 0; j < n; ++j) padded_[j] = static_cast<float>(near[j] - near_mean);
  plan_.forward_to(padded_.data(), near_spectrum_.data());
  std::fill(padded_.begin(), padded_.end(), 0.0f);
  std::copy(far.begin(), far.end(), padded_.begin());
  plan_.forward_to(padded_.data(), far_spectrum_.data());
  for (std::size_t k = 0; k < far_spectrum_.size(); ++k) {
    far_spectrum_[k] = multiply_conj(far_spectrum_[k], near_spectrum_[k]);
  }
  // correlation_[m] = Σ_j near'[j]·far[j + m]; lag l reads far from m = lags − l.
  plan_.inverse_to(far_spectrum_.data(), correlation_.data());

  far_sum_[0] = 0.0;
  far_square_[0] = 0.0;
  for (std::size_t i = 0; i < far.size(); ++i) {
    far_sum_[i + 1] = far_sum_[i] + far[i];
    far_square_[i + 1] = far_square_[i] + static_cast<double>(far[i]) * far[i];
  }
  double best = -1.0;
  for (std::size_t lag = 0; lag <= lags_; ++lag) {
    const std::size_t m = lags_ - lag;
    const double sum = far_sum_[m + n] - far_sum_[m];
    const double far_mean = sum / static_cast<double>(n);
    const double far_energy = far_square_[m + n] - far_square_[m] - sum * far_mean;
    double value = 0.0;
    if (far_energy > kFlat) {
      value = correlation_[m] / std::sqrt(near_energy * far_energy);
    }
    accumulated_[lag] += value;
    best = std::max(best, value);
  }
  figure_of_merit_ = static_cast<float>(best);
  if (++count_ == kAverageLimit) {
    for (double& a : accumulated_) a *= 0.5;
    count_ /= 2;
  }
}

std::optional<std::size_t> CoarseSearch::decide() {
  if (count_ < kMinEvaluations) return std::nullopt;
  std::size_t best = 0;
  for (std::size_t lag = 0; lag <= lags_; ++lag) {
    average_[lag] = accumulated_[lag] / static_cast<double>(count_);
    if (average_[lag] > average_[best]) best = lag;
  }
  if (average_[best] < kMinCorrelation) return std::nullopt;
  // The peak's own lobe is the run of lags around it that would fail the ratio
  // test anyway; a value above that level beyond the lobe is a rival peak.
  const double level = average_[best] / kMinPeakRatio;
  std::size_t low = best;
  while (low > 0 && (best - low < kMinLobe || average_[low - 1] >= level)) --low;
  std::size_t high = best;
  while (high < lags_ && (high - best < kMinLobe || average_[high + 1] >= level)) ++high;
  double outside = 0.0;
  for (std::size_t lag = 0; lag < low; ++lag) outside = std::max(outside, average_[lag]);
  for (std::size_t lag = high + 1; lag <= lags_; ++lag) outside = std::max(outside, average_[lag]);
  if (average_[best] < kMinPeakRatio * outside) return std::nullopt;
  return best;
}

void CoarseSearch::reset() {
  std::fill(accumulated_.begin(), accumulated_.end(), 0.0);
  count_ = 0;
  figure_of_merit_ = 0.0f;
}

}  // namespace murello::aec
