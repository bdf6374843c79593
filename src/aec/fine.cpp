#include "aec/fine.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "aec/sample.hpp"

namespace murello::aec {
namespace {

constexpr std::size_t kMaxPlan = 65536;
constexpr double kMinEnergy = 1e-8;
constexpr double kMinPeakRatio = 10.0;
constexpr double kWhitenFloor = 1e-12;
// Bins whose cross-spectrum lies this far below the step's strongest bin hold no
// far end (a band-limited far end leaves whole bands empty) and are weighted by
// their magnitude instead of whitened up to the weight of the bins that speak.
constexpr double kRelativeFloor = 1e-6;
constexpr double kPi = 3.14159265358979323846;

std::size_t plan_size(std::size_t lags) {
  std::size_t n = 2;
  while (n < 2 * lags && n < kMaxPlan) n *= 2;
  return n;
}

}  // namespace

Result<FineSearch, AecError> FineSearch::create(std::size_t lags) {
  auto plan = RealFft::create(plan_size(lags));
  if (!plan) return std::move(plan).error();
  return FineSearch(lags, std::move(plan).value());
}

FineSearch::FineSearch(std::size_t lags, RealFft plan)
    : lags_(std::min(lags, plan.size() / 2)),
      plan_(std::move(plan)),
      padded_(plan_.size()),
      near_spectrum_(plan_.bins()),
      far_spectrum_(plan_.bins()),
      accumulated_(plan_.bins()),
      correlation_(plan_.size()),
      taper_(lags_) {
  // A rectangular near window's edges leak into every bin, and those of the far
  // window line up with them at lag 0: a Hann taper keeps the leak out.
  for (std::size_t j = 0; j < lags_; ++j) {
    taper_[j] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * (static_cast<double>(j) + 0.5) /
                                                        static_cast<double>(lags_)));
  }
}

bool FineSearch::accumulate(std::span<const float> near, std::span<const float> far) {
  if (energy(near) <= kMinEnergy || energy(far) <= kMinEnergy) return false;
  std::fill(padded_.begin(), padded_.end(), 0.0f);
  for (std::size_t j = 0; j < lags_; ++j) padded_[j] = near[j] * taper_[j];
  plan_.forward_to(padded_.data(), near_spectrum_.data());
  std::copy(far.begin(), far.end(), padded_.begin());
  plan_.forward_to(padded_.data(), far_spectrum_.data());
  double strongest = 0.0;
  for (std::size_t k = 0; k < far_spectrum_.size(); ++k) {
    far_spectrum_[k] = multiply_conj(far_spectrum_[k], near_spectrum_[k]);
    strongest = std::max(strongest, power(far_spectrum_[k]));
  }
  const double floor = kWhitenFloor + kRelativeFloor * std::sqrt(strongest);
  for (std::size_t k = 0; k < accumulated_.size(); ++k) {
    accumulated_[k] += far_spectrum_[k] / std::max(floor, std::abs(far_spectrum_[k]));
  }
  ++steps_;
  return true;
}

std::optional<std::size_t> FineSearch::decide() {
  if (steps_ == 0) return std::nullopt;
  plan_.inverse_to(accumulated_.data(), correlation_.data());
  // correlation_[m] = Σ_j near[j]·far[j + m]; the far window starts `lags` before
  // lag 0, so lag l sits at m = lags − l.
  double peak = 0.0;
  double sum = 0.0;
  std::size_t best = 0;
  for (std::size_t lag = 0; lag < lags_; ++lag) {
    const double r = std::fabs(correlation_[lags_ - lag]);
    sum += r;
    if (r > peak) {
      peak = r;
      best = lag;
    }
  }
  const double mean = sum / static_cast<double>(lags_);
  if (mean > 0.0 && peak >= kMinPeakRatio * mean) return best;
  return std::nullopt;
}

void FineSearch::reset() {
  std::fill(accumulated_.begin(), accumulated_.end(), Complex{});
  steps_ = 0;
}

}  // namespace murello::aec
