// EchoStage: the echo canceller in the chain, one engine per delivered channel, all fed
// the same far end drained from the echo reference queue.
//
// Conventions: blocks are planar at the delivered rate (see stage.hpp). The far end is
// kept level with the near end: before the engines run, the queue is drained for the
// reference that covers the capture accepted so far (converted from the reference rate
// when it differs), and a queue that ran short is made up with silence, counted as padded.
// With one channel each block goes straight to its engine; with several, channels wait in
// pending buffers until all hold whole engine blocks, so every output run has the same
// length. Output lags input by less than one engine block until flush().
//
// Threads: the reading thread that runs the chain; the queue is the only shared object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "aec/tau.hpp"
#include "echo/echo_reference.hpp"
#include "chain/stage.hpp"
#include "core/config.hpp"
#include "resampler/polyphase.hpp"

namespace murello {

// The engine configuration the chain uses at `rate_hz`: tail from `echo` (200 ms when
// absent), 250 ms maximum delay, 1000 ms coarse ceiling, delay estimation on, suppression
// conservative unless off, output transition mode 1 (fall 100 ms, rise 200 ms).
aec::EngineConfig echo_engine_config(const EchoConfig& echo, uint32_t rate_hz);

// An engine refusal as a core kind: a rate the engine cannot run at is
// AecSampleRateUnsupported, anything else AecConfigInvalid with the engine's message.
CoreError core_error_from_aec(const aec::AecError& error);

class EchoStage final : public Stage {
 public:
  // Fails as the engines' configuration is refused, or as the reference resampler is.
  static Result<std::unique_ptr<Stage>, CoreError> create(const EchoConfig& echo,
                                                          uint16_t channels, uint32_t rate_hz);

  Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                  std::vector<float>& out) override;
  Result<void, CoreError> flush(std::vector<float>& out) override;
  std::optional<std::vector<EchoMetrics>> echo_metrics() const override;

 private:
  EchoStage(std::vector<aec::Tau> engines, std::shared_ptr<EchoReferenceQueue> queue,
            std::optional<Resampler> reference_resampler, uint32_t rate_hz);

  // Feeds every engine the far end that brings it level with `capture_total` near samples.
  Result<void, CoreError> level_reference(uint64_t capture_total, bool draining);
  void push_far(std::span<const float> far);
  // Runs each channel's samples (channel k at runs[k], all the same length) through its
  // engine and appends the outputs planar. Several channels only.
  void run_engines(const std::vector<std::span<const float>>& runs, std::vector<float>& out);

  std::vector<aec::Tau> engines_;
  std::shared_ptr<EchoReferenceQueue> queue_;
  std::optional<Resampler> reference_resampler_;  // reference rate -> delivered rate
  uint32_t rate_hz_;
  std::vector<std::vector<float>> pending_;  // per channel, several channels only
  std::vector<float> taken_;     // reference samples drained, at the reference rate
  std::vector<float> far_;       // the same at the delivered rate
  std::vector<std::vector<float>> outputs_;  // per channel, the engines' output
  std::vector<std::span<const float>> runs_;
  uint64_t capture_total_ = 0;    // near samples per channel accepted by the engines
  uint64_t reference_total_ = 0;  // far samples per channel given to the engines
};

}  // namespace murello
