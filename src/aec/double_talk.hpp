// DoubleTalk: decides from the coherence between the near block and the
// foreground echo estimate whether the near end is talking over the echo, and
// derives the adaptation step size μ from it.
//
// Before the filter is warm (coherence reached 0.81, or 32 active blocks) μ
// stays 1.0. Afterwards a coherence falling well below its running mean (three
// deviations) means double talk: μ drops to 0.01 until the coherence comes back
// within ten deviations. Only blocks with far-end activity change anything.
#pragma once

#include <cstddef>

namespace murello::aec {

class DoubleTalk {
 public:
  // `far_energy` is the energy of the far block; `coherence` is in [0, 1].
  void update(double far_energy, double coherence);
  void reset() { *this = DoubleTalk(); }

  double mu() const { return mu_; }
  bool held() const { return held_; }
  bool double_talk() const { return double_talk_; }
  bool warm() const { return warm_; }

 private:
  void update_mean(double c);

  double far_peak_ = 0.0;
  double mean_ = 0.0;
  double deviation_ = 0.0;
  double smoothed_ = 0.0;
  std::size_t active_blocks_ = 0;
  bool warm_ = false;
  bool double_talk_ = false;
  bool held_ = false;
  double mu_ = 1.0;
};

// (Σ d·y)² / (Σ d² · Σ y²) when Σ d·y > 0, else 0.
double coherence(const float* d, const float* y, std::size_t n);

}  // namespace murello::aec
