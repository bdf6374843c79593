#include "aec/drift.hpp"

#include <algorithm>
#include <cmath>

namespace murello::aec {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kIntervalSeconds = 0.25;
// Partitions searched for the direct path: the applied delay puts it near the
// filter's start.
constexpr std::size_t kSearchedPartitions = 2;
// Taps either side of the direct path that are compared.
constexpr std::size_t kHalfWindow = 16;
// Taps the direct path must stand from the filter's start for a chain of
// snapshots to start, and to go on.
constexpr std::size_t kStartLead = 8;
constexpr std::size_t kMinLead = 2;
// Taps the strongest one may move between snapshots and still be the same path.
constexpr std::size_t kMaxStep = 8;
// Bins must agree on the phase turn this well (1 = all exactly alike).
constexpr double kMinAgreement = 0.5;
// The fit forgets with a memory of this many intervals (about 20 s), and sets
// the rate only once it holds this many.
constexpr double kFitMemory = 80.0;
constexpr double kMinPoints = 4.0;
// Bins this far below the far end's loudest take no part.
constexpr double kQuietBin = 1e-4;
// Clocks of real devices differ by up to a few hundred parts per million: a
// faster slide is the path moving, and a rate beyond the ceiling is no clock's.
constexpr double kMaxSlide = 3e-4;
constexpr double kMaxRate = 1e-3;
// Samples the fitted line must move over the fit's span before it counts.
constexpr double kMinMove = 0.5;
// A slower drift the filter follows by itself; re-reading the far end between
// samples would only move its band edge for nothing.
constexpr double kMinRate = 5e-6;

}  // namespace

DriftLoop::DriftLoop(std::uint32_t rate_hz, std::size_t block)
    : block_(block),
      interval_(std::max<std::size_t>(1, static_cast<std::size_t>(
                                             std::lround(kIntervalSeconds * rate_hz / static_cast<double>(block))))),
      interval_samples_(static_cast<double>(interval_ * block)),
      frame_(2 * block),
      taps_(kSearchedPartitions * block),
      now_(block + 1),
      snapshot_(block + 1),
      cross_(block + 1),
      loud_(block + 1) {}

void DriftLoop::forget() {
  snapshot_valid_ = false;
  steps_ = trusted_steps_ = 0;
  offset_ = applied_ = time_ = 0.0;
  fit_ = Fit{};
}

void DriftLoop::update(RealFft& plan, std::span<const Complex> weights, std::span<const double> far_power,
                       bool trusted) {
  if (trusted) ++trusted_steps_;
  if (++steps_ < interval_) return;
  const bool counts = 2 * trusted_steps_ >= interval_;
  steps_ = trusted_steps_ = 0;
  time_ += 1.0;
  applied_ += rate_ * interval_samples_;
  if (!counts) return;
  load_taps(plan, weights, far_power);
  // The strongest tap moving by more than a clock could move it is another tap
  // taking over (a filter still learning, a changed path): the chain of
  // snapshots starts again there.
  const std::size_t centre = strongest_tap();
  const bool continues = snapshot_valid_ && (centre > centre_ ? centre - centre_ : centre_ - centre) <= kMaxStep;
  std::optional<double> s;
  if (continues) {
    direct_path(plan, centre_, now_);
    s = shift();
  }
  // A path near the filter's start is seen with its window cut short in front.
  // Followed there, that only makes a slide look smaller; but a chain starting
  // there could take a filter still learning its tail for a moving one (and an
  // echo with hardly any delay has no taps before it to move into).
  if (centre < (continues ? kMinLead : kStartLead) || centre + kHalfWindow >= taps_.size()) {
    snapshot_valid_ = false;
    return;
  }
  // The newest weights become the snapshot, also when they did not resemble it.
  centre_ = centre;
  direct_path(plan, centre_, snapshot_);
  if (!continues) {
    snapshot_valid_ = true;
    add_point(offset_ + applied_);
    return;
  }
  // A jump no clock could make in one interval is the path moving (a speaker
  // moved, a reflection taking over), not drift.
  if (!s || std::fabs(*s) > kMaxSlide * interval_samples_) return;
  offset_ += *s;
  add_point(offset_ + applied_);
}

void DriftLoop::load_taps(RealFft& plan, std::span<const Complex> weights, std::span<const double> far_power) {
  // Bins the far end leaves empty hold weights that hardly move, and noise that
  // can outgrow the direct path: only the others count.
  const double loudest = *std::max_element(far_power.begin(), far_power.end());
  for (std::size_t k = 0; k < loud_.size(); ++k) loud_[k] = far_power[k] >= kQuietBin * loudest;
  const std::size_t bins = block_ + 1;
  const std::size_t partitions = std::min(kSearchedPartitions, weights.size() / bins);
  std::fill(taps_.begin(), taps_.end(), 0.0f);
  for (std::size_t p = 0; p < partitions; ++p) {
    for (std::size_t k = 0; k < bins; ++k) now_[k] = loud_[k] ? weights[p * bins + k] : Complex{};
    plan.inverse_to(now_.data(), frame_.data());
    std::copy(frame_.begin(), frame_.begin() + static_cast<std::ptrdiff_t>(block_),
              taps_.begin() + static_cast<std::ptrdiff_t>(p * block_));
  }
}

std::size_t DriftLoop::strongest_tap() const {
  std::size_t best = 0;
  for (std::size_t i = 1; i < taps_.size(); ++i) {
    if (std::fabs(taps_[i]) > std::fabs(taps_[best])) best = i;
  }
  return best;
}

void DriftLoop::direct_path(RealFft& plan, std::size_t centre, std::vector<Complex>& spectrum) {
  std::fill(frame_.begin(), frame_.end(), 0.0f);
  const std::size_t first = centre > kHalfWindow ? centre - kHalfWindow : 0;
  const std::size_t last = std::min(taps_.size(), centre + kHalfWindow + 1);
  for (std::size_t i = first; i < last; ++i) {
    const double x = (static_cast<double>(i) - static_cast<double>(centre)) / static_cast<double>(kHalfWindow + 1);
    frame_[i] = static_cast<float>(taps_[i] * (0.5 + 0.5 * std::cos(kPi * x)));
  }
  plan.forward_to(frame_.data(), spectrum.data());
}

std::optional<double> DriftLoop::shift() {
  // cross[k] = N[k]·conj(S[k]): for taps S delayed by τ samples its phase turns
  // by −2πτ/n from each bin to the next (n = 2·block).
  for (std::size_t k = 0; k < cross_.size(); ++k) cross_[k] = multiply_conj(now_[k], snapshot_[k]);
  Complex turn{};
  double magnitude = 0.0;
  for (std::size_t k = 1; k < cross_.size(); ++k) {
    const Complex t = multiply_conj(cross_[k], cross_[k - 1]);
    turn += t;
    magnitude += std::abs(t);
  }
  if (magnitude <= 0.0 || std::abs(turn) < kMinAgreement * magnitude) return std::nullopt;
  return -std::arg(turn) * static_cast<double>(2 * block_) / (2.0 * kPi);
}

void DriftLoop::add_point(double position) {
  const double keep = 1.0 - 1.0 / kFitMemory;
  fit_.n = keep * fit_.n + 1.0;
  fit_.t = keep * fit_.t + time_;
  fit_.p = keep * fit_.p + position;
  fit_.tt = keep * fit_.tt + time_ * time_;
  fit_.tp = keep * fit_.tp + time_ * position;
  if (fit_.n < kMinPoints) return;
  const double spread = fit_.n * fit_.tt - fit_.t * fit_.t;
  if (spread <= 0.0) return;
  const double slope = (fit_.n * fit_.tp - fit_.t * fit_.p) / spread;  // samples per interval
  // The line must have moved the path by a good part of a sample over the time
  // the fit covers: a filter still settling shifts by a few hundredths once,
  // which over a short fit looks like a fast drift.
  const double span = std::sqrt(12.0 * spread) / fit_.n;  // intervals
  const double rate = slope / interval_samples_;
  rate_ = std::fabs(slope) * span < kMinMove || std::fabs(rate) < kMinRate ? 0.0 : std::clamp(rate, -kMaxRate, kMaxRate);
}

}  // namespace murello::aec
