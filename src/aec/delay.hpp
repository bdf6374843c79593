// DelayTracker: keeps the far-end history and finds how long the far end takes
// to come back as echo, so the adaptive filter can run on an aligned far end.
//
// A coarse search on 1 ms envelopes covers the whole ceiling; once it is
// confirmed it places the window of a fine phase-transform search, whose
// decision sets the delay. Before any coarse decision the fine window starts at
// lag 0, so delays shorter than the window are found without waiting for the
// coarse search. In fixed mode the delay is set once and never searched.
//
// Positions: far samples are numbered as pushed, near samples as aligned; a
// delay D pairs near sample t with far sample t − D. One thread calls everything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "aec/coarse.hpp"
#include "aec/config.hpp"
#include "aec/envelope.hpp"
#include "aec/fine.hpp"
#include "aec/fractional.hpp"
#include "aec/ring.hpp"

namespace murello::aec {

enum class TrackerStatus {
  kNoDelay,    // no delay established: the aligned far end is silence
  kSearching,  // a delay is applied while the fine search checks a new window
  kLocked,     // a delay is applied and nothing contradicts it
};

class DelayTracker {
 public:
  // `config` must have passed validate().
  static Result<DelayTracker, AecError> create(const EngineConfig& config);

  // Non-finite samples enter as 0.0.
  void push_far(std::span<const float> samples);
  // Writes the far samples lying the current delay before the next out.size()
  // near samples (silence where there is no delay or no history).
  void align(std::span<float> out);
  // Feeds one near block to the searches. True when a fine decision replaced the
  // delay, which invalidates whatever the filter learnt.
  bool estimate(std::span<const float> near);

  // The delay applied now, to the nearest sample (drift included).
  std::optional<std::uint64_t> delay() const;
  // Sets how fast the echo's delay grows (samples per near sample, negative when
  // it shrinks): from now on the far end is read at positions moving by that much
  // against the decided delay, between samples by interpolation.
  void set_drift(double rate) { drift_ = rate; }
  TrackerStatus status() const;

  std::uint64_t far_missing() const { return far_missing_; }
  std::uint64_t samples_without_delay() const { return samples_without_delay_; }
  std::uint64_t search_restarts() const { return search_restarts_; }

 private:
  struct Searches {
    CoarseSearch coarse;
    FineSearch fine;
  };
  DelayTracker(const EngineConfig& config, std::optional<Searches> searches);

  void restart_search();
  void run_coarse();
  bool run_fine();
  void start_fine(std::uint64_t offset);
  // The decided delay plus the drift gathered since, in samples.
  double applied() const { return static_cast<double>(*delay_) + shift_; }

  HistoryRing history_;
  std::optional<std::uint64_t> delay_;
  double drift_ = 0.0;  // growth of the delay per near sample
  double shift_ = 0.0;  // delay gathered by drift since the last decision
  FractionalReader reader_;
  std::uint64_t near_processed_ = 0;
  std::uint64_t far_missing_ = 0;
  std::uint64_t samples_without_delay_ = 0;
  std::uint64_t search_restarts_ = 0;

  // Estimation state; absent in fixed mode.
  std::optional<Searches> searches_;
  std::size_t factor_;  // samples per envelope value
  Envelope far_envelope_;
  Envelope near_envelope_;
  HistoryRing near_;  // the near samples the fine search correlates
  std::vector<float> near_window_;
  std::vector<float> far_window_;
  std::vector<float> near_envelope_window_;
  std::vector<float> far_envelope_window_;
  std::size_t coarse_hop_;
  std::size_t fine_hop_;
  std::uint64_t recheck_period_;
  std::uint64_t late_tolerance_;
  std::uint64_t look_back_;
  std::uint64_t confirm_tolerance_;
  std::uint64_t recentre_tolerance_;
  std::uint64_t next_coarse_ = 0;  // near position of the next evaluation
  std::uint64_t next_fine_ = 0;
  std::uint64_t next_recheck_ = 0;  // near position of the next check after a decision
  std::optional<std::uint64_t> candidate_;  // last coarse decision, in samples
  std::size_t confirmations_ = 0;
  std::optional<std::uint64_t> anchor_;  // confirmed coarse lag that placed the fine window
  bool fine_active_ = true;
  std::uint64_t fine_offset_ = 0;  // far lag of the fine window's lag 0
  std::uint64_t fine_rest_until_ = 0;  // near position before which the fine search rests
  bool far_ahead_ = false;
};

}  // namespace murello::aec
