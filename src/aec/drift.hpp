// DriftLoop: follows a far end and a microphone on different clocks.
//
// When the two clocks differ, the echo path the adaptive filter sees slides
// steadily along its taps, faster than the filter can relearn it on speech. The
// loop measures the slide from the filter itself: four times a second it takes
// the strongest tap of the weights (the direct path) with 16 taps either side,
// compares that with the same taps at the last snapshot, and the mean phase turn
// between neighbouring bins of their cross-spectrum is the shift in samples.
// Looking at the direct path alone keeps a filter still learning its tail from
// passing for a moving one. The shifts add up to where the path sits in the
// filter; together with the delay the loop has applied since, that is where the
// echo really is. A line fitted to those positions over the last 20 s or so
// gives the drift rate, at which the far end is then re-read, so that the filter
// sees a standing path again. The fit needs no filter that follows the slide
// fully: whatever part of it the filter shows, the rate moves towards the truth
// until the path stands still.
//
// Only intervals in which the filter explained much of the echo count, only bins
// the far end speaks in, and only shifts that agree across those bins and that
// a clock could make.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "aec/fft.hpp"

namespace murello::aec {

class DriftLoop {
 public:
  // `block` samples per update; the weights are spectra of 2·block points.
  DriftLoop(std::uint32_t rate_hz, std::size_t block);

  // One block: the filter's weights (partitions of block + 1 bins, partition-major),
  // the far end's power per bin, and whether the filter explained the echo during
  // the block. `plan` transforms 2·block points.
  void update(RealFft& plan, std::span<const Complex> weights, std::span<const double> far_power, bool trusted);
  // The weights no longer continue those of the snapshot (a reset, a new delay
  // that also restarted the applied shift): positions start afresh, the rate stays.
  void forget();

  // Samples of extra delay per sample to apply.
  double rate() const { return rate_; }

 private:
  struct Fit {
    double n = 0.0, t = 0.0, p = 0.0, tt = 0.0, tp = 0.0;
  };

  // The first taps of `weights`, in the bins the far end speaks in, into taps_.
  void load_taps(RealFft& plan, std::span<const Complex> weights, std::span<const double> far_power);
  // The spectrum of taps_ around `centre`, tapered to zero a window's half away.
  void direct_path(RealFft& plan, std::size_t centre, std::vector<Complex>& spectrum);
  std::size_t strongest_tap() const;
  // The shift in samples from the snapshot to now_, when the bins agree on it.
  std::optional<double> shift();
  void add_point(double position);

  std::size_t block_;
  std::size_t interval_;  // blocks
  double interval_samples_;
  std::vector<float> frame_;
  std::vector<float> taps_;
  std::vector<Complex> now_;
  std::vector<Complex> snapshot_;
  std::vector<Complex> cross_;
  std::vector<bool> loud_;  // bins the far end speaks in
  std::size_t centre_ = 0;  // the snapshot's strongest tap
  bool snapshot_valid_ = false;
  std::size_t steps_ = 0;
  std::size_t trusted_steps_ = 0;
  double offset_ = 0.0;   // where the path sits in the filter against the first snapshot
  double applied_ = 0.0;  // delay applied by the loop since then
  double time_ = 0.0;     // intervals since then
  Fit fit_;
  double rate_ = 0.0;
};

}  // namespace murello::aec
