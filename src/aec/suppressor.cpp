#include "aec/suppressor.hpp"

#include <algorithm>

namespace murello::aec {
namespace {

constexpr double kSmoothing = 0.7;
constexpr double kEchoWeight = 0.0003;
constexpr double kMinGain = 0.1;
constexpr std::size_t kSpread = 4;  // bins either side in the applied gain

}  // namespace

Suppressor::Suppressor(std::size_t bins)
    : spectrum_(bins), echo_power_(bins), error_power_(bins), gain_(bins, 1.0), frame_(2 * (bins - 1)) {}

void Suppressor::reset() {
  std::fill(echo_power_.begin(), echo_power_.end(), 0.0);
  std::fill(error_power_.begin(), error_power_.end(), 0.0);
  std::fill(gain_.begin(), gain_.end(), 1.0);
}

void Suppressor::process(RealFft& plan, const float* error, const Complex* echo, bool held, float* out) {
  const std::size_t bins = spectrum_.size();
  plan.forward_to(error, spectrum_.data());
  for (std::size_t k = 0; k < bins; ++k) {
    echo_power_[k] = kSmoothing * echo_power_[k] + (1.0 - kSmoothing) * power(echo[k]);
    error_power_[k] = kSmoothing * error_power_[k] + (1.0 - kSmoothing) * power(spectrum_[k]);
    const double denominator = error_power_[k] + kEchoWeight * echo_power_[k];
    const double raw = denominator > 0.0 && !held ? std::clamp(error_power_[k] / denominator, kMinGain, 1.0) : 1.0;
    gain_[k] = raw > gain_[k] ? 0.2 * gain_[k] + 0.8 * raw : 0.5 * gain_[k] + 0.5 * raw;
  }
  for (std::size_t k = 0; k < bins; ++k) {
    const std::size_t low = k >= kSpread ? k - kSpread : 0;
    const std::size_t high = std::min(k + kSpread, bins - 1);
    double sum = 0.0;
    for (std::size_t j = low; j <= high; ++j) sum += gain_[j];
    spectrum_[k] *= sum / static_cast<double>(high - low + 1);
  }
  plan.inverse_to(spectrum_.data(), frame_.data());
  const std::size_t block = frame_.size() / 2;
  std::copy(frame_.begin() + static_cast<std::ptrdiff_t>(block), frame_.end(), out);
}

}  // namespace murello::aec
