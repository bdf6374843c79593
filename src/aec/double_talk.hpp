// DoubleTalk: decides from the coherence between the near end and the
// foreground echo estimate whether the near end is talking over the echo, and
// derives the adaptation step size μ from it.
//
// Before the filter is warm (its smoothed coherence reached 0.81, or about two
// seconds of far-end activity) μ stays 1.0: until the foreground explains the
// echo, its coherence swings too widely to tell double talk from learning, and
// holding the filter then only slows it down. Afterwards a coherence falling well below its
// running mean (three deviations) means double talk: μ drops low until the
// coherence comes back within ten deviations. Only blocks with far-end activity
// change anything.
//
// The statistics were tuned on blocks of 16 ms. Blocks hold a fixed number of
// samples, so at higher rates they are shorter: the detector then decides once
// per run of as many blocks as make about 16 ms, from the coherence over the
// run, and keeps its decision in between; smoothing factors, counts and the
// double-talk step are scaled to the run's length, so the detector keeps the
// same time constants in seconds at every rate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace murello::aec {

class DoubleTalk {
 public:
  DoubleTalk(std::uint32_t rate_hz, std::size_t block);

  // One block of `block` samples: the aligned far end, the near end and the
  // foreground echo estimate.
  void update(const float* far, const float* near, const float* echo);
  void reset();

  double mu() const { return mu_; }
  bool held() const { return held_; }
  bool double_talk() const { return double_talk_; }
  bool warm() const { return warm_; }

 private:
  static constexpr std::size_t kMaxSpan = 4;
  struct Sums {
    double far = 0.0, dy = 0.0, dd = 0.0, yy = 0.0;
  };

  void update_mean(double c);

  // Fixed by the rate.
  std::size_t block_;
  std::size_t span_;  // blocks the coherence is taken over
  double mean_rise_;
  double mean_fall_;
  double smoothing_;
  double deviation_smoothing_;
  std::size_t warm_runs_;
  double double_talk_mu_;

  Sums sums_;
  std::size_t summed_ = 0;  // blocks in sums_
  double far_peak_ = 0.0;
  double mean_ = 0.0;
  double deviation_ = 0.0;
  double smoothed_ = 0.0;
  std::size_t active_runs_ = 0;
  bool warm_ = false;
  bool double_talk_ = false;
  bool held_ = false;
  double mu_ = 1.0;
};

// (Σ d·y)² / (Σ d² · Σ y²) when Σ d·y > 0, else 0.
double coherence(double dy, double dd, double yy);

}  // namespace murello::aec
