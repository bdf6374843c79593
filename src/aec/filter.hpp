// PartitionedFilter: the two-path partitioned-block frequency-domain adaptive
// filter at the heart of the engine.
//
// Blocks are 256 samples, spectra 257 bins of a 512-point transform; P partitions
// cover the tail. Only the background weights adapt (normalised, per-bin step,
// gradient constrained to 256 taps per partition); the foreground weights, which
// produce the output, follow the background only while it is clearly better, and
// a background clearly worse than the foreground is replaced by it. Non-finite
// errors clear the weight set that produced them.
//
// All buffers are allocated at construction; a step allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "aec/fft.hpp"

namespace murello::aec {

class PartitionedFilter {
 public:
  static constexpr std::size_t kBlock = 256;
  static constexpr std::size_t kBins = kBlock + 1;

  PartitionedFilter(std::size_t partitions, std::uint32_t rate_hz);

  // Takes the far block into the spectrum history and computes both echo
  // estimates and errors for the near block. `plan` is a 512-point plan.
  void predict(RealFft& plan, const float* near, const float* far);
  // Adapts the background with step size `mu` and chooses the foreground.
  // `calm` means the step is outside double talk; only after 128 ms of calm steps
  // in a row may the foreground follow the background. `settled` means the filter
  // has found its path: the foreground then follows only a background that
  // removes at least three quarters of the microphone's energy.
  void adapt(RealFft& plan, double mu, bool calm, bool settled);

  // The foreground error of this step (silence after a blow-up), and the window
  // of the previous and this step's foreground errors.
  const float* error() const { return error_window_.data() + kBlock; }
  const float* error_window() const { return error_window_.data(); }
  const float* echo() const { return echo_f_.data(); }
  const Complex* echo_spectrum() const { return echo_spectrum_f_.data(); }
  // True when this step's foreground error was not finite and everything was cleared.
  bool blew_up() const { return blew_up_; }
  bool far_seen() const { return far_seen_; }
  // The background weights, partitions × kBins, partition-major.
  std::span<const Complex> background() const { return background_; }
  // The far end's slowly smoothed power per bin.
  std::span<const double> far_power() const { return slow_power_; }

  void halve_foreground();
  // Forgets both weight sets but keeps the far history, so learning a new path
  // starts at once.
  void clear_weights();
  void reset();

  std::uint64_t resets() const { return resets_; }
  std::size_t partitions() const { return partitions_; }

 private:
  using Spectra = std::vector<Complex>;  // partitions × kBins, partition-major

  Complex* slot(Spectra& s, std::size_t p) { return s.data() + p * kBins; }
  // Ring slot of the far spectrum p blocks older than the newest.
  std::size_t age(std::size_t p) const { return (newest_ + partitions_ - p) % partitions_; }
  void estimate(RealFft& plan, const Spectra& weights, Complex* spectrum, float* echo);
  void clear_background();
  void update_step_sizes(double mu);
  void update_background(RealFft& plan);
  void choose_foreground(bool calm, bool settled);

  double error_smoothing_;
  std::size_t choice_steps_;
  std::size_t partitions_;
  std::size_t newest_;
  std::vector<float> far_window_;
  Spectra far_spectra_;
  Spectra background_;
  Spectra foreground_;
  std::vector<Complex> echo_spectrum_b_;
  std::vector<Complex> echo_spectrum_f_;
  std::vector<Complex> gradient_;
  std::vector<float> frame_;
  std::vector<float> echo_b_;
  std::vector<float> echo_f_;
  std::vector<float> error_b_;
  std::vector<float> error_window_;  // previous and current foreground error
  std::vector<double> far_power_;    // F_k: summed over the stored spectra
  std::vector<double> slow_power_;   // P_k
  std::vector<double> step_;
  double smoothed_b_ = 0.0;
  double smoothed_f_ = 0.0;
  double smoothed_near_ = 0.0;
  std::size_t worse_steps_ = 0;
  std::size_t calm_steps_ = 0;
  bool skip_update_ = false;
  bool blew_up_ = false;
  bool far_seen_ = false;
  std::uint64_t resets_ = 0;
};

}  // namespace murello::aec
