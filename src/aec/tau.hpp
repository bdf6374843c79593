// Tau: one echo canceller engine for one channel.
//
// The caller pushes the far-end reference (what was played) and processes the
// near end (what the microphone heard); the engine aligns the far end by the
// delay it finds, cancels the echo with a two-path partitioned-block adaptive
// filter, optionally suppresses what echo remains, and guards against a filter
// that makes things worse. Samples are float32 at the configured rate; the
// engine works in blocks of 256, so output lags input by up to one block and
// flush() releases the rest.
//
// All memory is allocated by create(); push_far/process/flush allocate only to
// grow the caller's output vector. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "aec/config.hpp"
#include "aec/delay.hpp"
#include "aec/double_talk.hpp"
#include "aec/drift.hpp"
#include "aec/fft.hpp"
#include "aec/filter.hpp"
#include "aec/metrics.hpp"
#include "aec/suppressor.hpp"
#include "aec/transition.hpp"

namespace murello::aec {

class Tau {
 public:
  static constexpr std::size_t kBlock = PartitionedFilter::kBlock;

  static Result<Tau, AecError> create(const EngineConfig& config);
  // The filter's partitions for a valid configuration: enough blocks to hold the tail.
  static std::size_t partitions_for(const EngineConfig& config);

  void push_far(std::span<const float> samples) { tracker_.push_far(samples); }
  // Appends one output sample per near sample of every block completed.
  void process(std::span<const float> near, std::vector<float>& out);
  // Processes the partial block, padded with silence, and appends its real samples.
  void flush(std::vector<float>& out);
  // Forgets everything the filter learnt; the delay and the counters stay.
  void reset();

  Metrics metrics() const;
  std::uint64_t filter_resets() const { return filter_.resets(); }
  // Times a newly found delay restarted the filter.
  std::uint64_t delay_changes() const { return delay_changes_; }
  TrackerStatus tracker_status() const { return tracker_.status(); }

 private:
  Tau(const EngineConfig& config, RealFft plan, DelayTracker tracker);

  void step(bool estimate);
  void guard_and_measure();

  EngineConfig config_;
  RealFft plan_;
  DelayTracker tracker_;
  PartitionedFilter filter_;
  DoubleTalk double_talk_;
  DriftLoop drift_;
  Suppressor suppressor_;
  std::optional<Transition> transition_;
  std::vector<float> near_;
  std::vector<float> far_;
  std::vector<float> out_;
  std::size_t fill_ = 0;
  double guard_near_ = 0.0;
  double guard_out_ = 0.0;
  double erle_near_ = 0.0;
  double erle_out_ = 0.0;
  std::uint64_t delay_changes_ = 0;
};

}  // namespace murello::aec
