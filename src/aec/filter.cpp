#include "aec/filter.hpp"

#include <algorithm>
#include <cmath>

#include "aec/sample.hpp"

namespace murello::aec {
namespace {

constexpr double kSlowPower = 0.98;
constexpr double kMinStepShape = 0.02;
constexpr double kRegularisation = 0.001;
// The foreground's choice was tuned at 16 kHz, where a block lasts 16 ms; at
// other rates the smoothing and the run of steps keep the same times in seconds.
constexpr double kTunedRate = 16000.0;
constexpr double kErrorSmoothing = 0.9;
constexpr double kChoiceSteps = 8.0;
constexpr double kMinAdvantage = 0.1;
constexpr double kMaxBlend = 0.75;
// A settled background must keep its error this far below the microphone (6 dB).
constexpr double kSettledErrorShare = 0.25;

bool all_finite(const float* x, std::size_t n) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += x[i] * 0.0f;  // NaN or ±inf turn the sum into NaN
  return sum == 0.0f;
}

}  // namespace

PartitionedFilter::PartitionedFilter(std::size_t partitions, std::uint32_t rate_hz)
    : error_smoothing_(std::pow(kErrorSmoothing, kTunedRate / rate_hz)),
      choice_steps_(static_cast<std::size_t>(std::lround(kChoiceSteps * rate_hz / kTunedRate))),
      partitions_(partitions),
      newest_(partitions - 1),
      far_window_(2 * kBlock),
      far_spectra_(partitions * kBins),
      background_(partitions * kBins),
      foreground_(partitions * kBins),
      echo_spectrum_b_(kBins),
      echo_spectrum_f_(kBins),
      gradient_(kBins),
      frame_(2 * kBlock),
      echo_b_(kBlock),
      echo_f_(kBlock),
      error_b_(kBlock),
      error_window_(2 * kBlock),
      far_power_(kBins),
      slow_power_(kBins),
      step_(kBins, 1.0) {}

void PartitionedFilter::reset() {
  std::fill(far_window_.begin(), far_window_.end(), 0.0f);
  std::fill(far_spectra_.begin(), far_spectra_.end(), Complex{});
  std::fill(background_.begin(), background_.end(), Complex{});
  std::fill(foreground_.begin(), foreground_.end(), Complex{});
  std::fill(error_b_.begin(), error_b_.end(), 0.0f);
  std::fill(error_window_.begin(), error_window_.end(), 0.0f);
  std::fill(far_power_.begin(), far_power_.end(), 0.0);
  std::fill(slow_power_.begin(), slow_power_.end(), 0.0);
  std::fill(step_.begin(), step_.end(), 1.0);
  smoothed_b_ = smoothed_f_ = smoothed_near_ = 0.0;
  worse_steps_ = calm_steps_ = 0;
  skip_update_ = blew_up_ = far_seen_ = false;
  newest_ = partitions_ - 1;
}

void PartitionedFilter::estimate(RealFft& plan, const Spectra& weights, Complex* spectrum, float* echo) {
  std::fill(spectrum, spectrum + kBins, Complex{});
  for (std::size_t p = 0; p < partitions_; ++p) {
    const Complex* w = weights.data() + p * kBins;
    const Complex* x = far_spectra_.data() + age(p) * kBins;
    multiply_add(spectrum, w, x, kBins);
  }
  plan.inverse_to(spectrum, frame_.data());
  std::copy(frame_.begin() + kBlock, frame_.end(), echo);
}

void PartitionedFilter::clear_background() {
  std::fill(background_.begin(), background_.end(), Complex{});
  ++resets_;
}

void PartitionedFilter::predict(RealFft& plan, const float* near, const float* far) {
  std::copy(far_window_.begin() + kBlock, far_window_.end(), far_window_.begin());
  std::copy(far, far + kBlock, far_window_.begin() + kBlock);
  if (!far_seen_) far_seen_ = std::any_of(far, far + kBlock, [](float v) { return v != 0.0f; });
  newest_ = (newest_ + 1) % partitions_;
  plan.forward_to(far_window_.data(), slot(far_spectra_, newest_));

  estimate(plan, background_, echo_spectrum_b_.data(), echo_b_.data());
  estimate(plan, foreground_, echo_spectrum_f_.data(), echo_f_.data());

  std::copy(error_window_.begin() + kBlock, error_window_.end(), error_window_.begin());
  float* error_f = error_window_.data() + kBlock;
  for (std::size_t i = 0; i < kBlock; ++i) {
    error_b_[i] = near[i] - echo_b_[i];
    error_f[i] = near[i] - echo_f_[i];
  }
  smoothed_near_ = error_smoothing_ * smoothed_near_ + (1.0 - error_smoothing_) * energy({near, kBlock});
  skip_update_ = false;
  if (!all_finite(error_b_.data(), kBlock)) {
    clear_background();
    std::fill(echo_b_.begin(), echo_b_.end(), 0.0f);
    std::copy(near, near + kBlock, error_b_.begin());
    skip_update_ = true;
  }
  blew_up_ = !all_finite(error_f, kBlock);
  if (blew_up_) {
    std::fill(background_.begin(), background_.end(), Complex{});
    std::fill(foreground_.begin(), foreground_.end(), Complex{});
    smoothed_b_ = smoothed_f_ = 0.0;
    std::fill(error_f, error_f + kBlock, 0.0f);
    std::fill(echo_f_.begin(), echo_f_.end(), 0.0f);
    std::fill(echo_spectrum_f_.begin(), echo_spectrum_f_.end(), Complex{});
    ++resets_;
    skip_update_ = true;
  }
}

void PartitionedFilter::update_step_sizes(double mu) {
  std::fill(far_power_.begin(), far_power_.end(), 0.0);
  for (std::size_t p = 0; p < partitions_; ++p) {
    const Complex* x = far_spectra_.data() + p * kBins;
    for (std::size_t k = 0; k < kBins; ++k) far_power_[k] += power(x[k]);
  }
  // Bins whose power has just risen above their slow average take full steps;
  // bins in decay take smaller ones, down to a floor.
  for (std::size_t k = 0; k < kBins; ++k) {
    double shape = 1.0;
    if (slow_power_[k] > 0.0) {
      const double r = std::min(far_power_[k] / slow_power_[k], 1.0);
      shape = std::max(r * r, kMinStepShape);
    }
    step_[k] = shape * mu;
    slow_power_[k] = kSlowPower * slow_power_[k] + (1.0 - kSlowPower) * far_power_[k];
  }
}

void PartitionedFilter::update_background(RealFft& plan) {
  std::fill(frame_.begin(), frame_.begin() + kBlock, 0.0f);
  std::copy(error_b_.begin(), error_b_.end(), frame_.begin() + kBlock);
  std::vector<Complex>& error = echo_spectrum_b_;  // free until the next predict
  plan.forward_to(frame_.data(), error.data());
  for (std::size_t k = 0; k < kBins; ++k) error[k] *= step_[k] / (far_power_[k] + kRegularisation);

  bool finite = true;
  for (std::size_t p = 0; p < partitions_; ++p) {
    const Complex* x = far_spectra_.data() + age(p) * kBins;
    multiply_conj(gradient_.data(), error.data(), x, kBins);
    // Keep the gradient to the first 256 taps so each partition stays a linear
    // (not circular) convolution.
    plan.inverse_to(gradient_.data(), frame_.data());
    std::fill(frame_.begin() + kBlock, frame_.end(), 0.0f);
    finite = finite && all_finite(frame_.data(), kBlock);
    plan.forward_to(frame_.data(), gradient_.data());
    Complex* w = slot(background_, p);
    for (std::size_t k = 0; k < kBins; ++k) w[k] += gradient_[k];
  }
  if (!finite) clear_background();
}

void PartitionedFilter::choose_foreground(bool calm, bool settled) {
  const double eb = energy({error_b_.data(), kBlock});
  const double ef = energy({error(), kBlock});
  smoothed_b_ = error_smoothing_ * smoothed_b_ + (1.0 - error_smoothing_) * eb;
  smoothed_f_ = error_smoothing_ * smoothed_f_ + (1.0 - error_smoothing_) * ef;
  worse_steps_ = 4.0 * smoothed_f_ < smoothed_b_ ? worse_steps_ + 1 : 0;
  calm_steps_ = calm ? calm_steps_ + 1 : 0;
  if (worse_steps_ >= choice_steps_) {
    background_ = foreground_;
    worse_steps_ = 0;
    return;
  }
  if (calm_steps_ < choice_steps_ || smoothed_f_ <= 0.0) return;
  // Double talk the detector missed lets the background fit the near talker: its
  // error falls below the foreground's without its explaining the echo, and a
  // foreground that followed would cancel the talker. A background that has
  // really found the path removes most of what the microphone hears.
  if (settled && smoothed_b_ > kSettledErrorShare * smoothed_near_) return;
  const double advantage = 1.0 - smoothed_b_ / smoothed_f_;
  if (advantage < kMinAdvantage) return;
  const double beta = kMaxBlend * std::min(2.0 * advantage, 1.0);
  for (std::size_t i = 0; i < foreground_.size(); ++i) foreground_[i] += beta * (background_[i] - foreground_[i]);
}

void PartitionedFilter::adapt(RealFft& plan, double mu, bool calm, bool settled) {
  update_step_sizes(mu);
  if (!skip_update_) update_background(plan);
  choose_foreground(calm, settled);
}

void PartitionedFilter::clear_weights() {
  std::fill(background_.begin(), background_.end(), Complex{});
  std::fill(foreground_.begin(), foreground_.end(), Complex{});
  ++resets_;
}

void PartitionedFilter::halve_foreground() {
  for (Complex& w : foreground_) w *= 0.5;
  ++resets_;
}

}  // namespace murello::aec
