// Chain: the conditioning chain of one audio source.
//
// Conventions: the chain's input and output are interleaved 32-bit float blocks; lengths
// count samples of all channels; rates are whole hz. Inside, the structural stages
// (channel map or down-mix, de-interleave, resample, echo canceller) reshape the signal
// and the conditioning stages (DC removal, denoiser, high-pass, AGC, limiter) alter it;
// between stages a multi-channel signal is planar. Input samples that are non-finite
// (infinities and NaNs) or beyond +-2^32 (see finite.hpp) are replaced by 0.0 before any
// stage sees them, and so is any non-finite sample a stage puts out, so that one bad
// sample cannot reach a later stage's state.
//
// Threads: a chain belongs to one source and is called by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "chain/stage.hpp"

namespace murello {

struct ChainFormat {
  uint16_t input_channels;   // the source's channel count
  uint16_t output_channels;  // the delivered channel count
  uint32_t input_rate_hz;    // the source's rate
  uint32_t output_rate_hz;   // the delivered rate
};

// Builders for the stages whose code lives beside their own runtimes: the echo canceller
// (placed last among the structural stages) and the denoiser (between DC removal and the
// high-pass). The chain calls a builder only when the configuration enables its stage,
// with the channel count (at least 1) and rate the stage will see. A configuration that
// enables a stage whose builder is empty fails to build a chain.
struct StageFactories {
  using EchoCancellerFactory = std::function<Result<std::unique_ptr<Stage>, CoreError>(
      const EchoConfig& echo, uint16_t channels, uint32_t rate_hz)>;
  using DenoiserFactory = std::function<Result<std::unique_ptr<Stage>, CoreError>(
      const ConditioningConfig& config, uint16_t channels, uint32_t rate_hz)>;

  EchoCancellerFactory echo_canceller;
  DenoiserFactory denoiser;
};

class Chain {
 public:
  // Builds the stages `config` asks for between `format`'s input and output. Returns an
  // empty optional when no stage is needed: the source then delivers its samples as they
  // are. Fails with the first stage's construction error (a resampler's
  // SampleRateOutOfRange or ResampleConfigInvalid, or a factory's error).
  static Result<std::optional<Chain>, CoreError> create(const ChainFormat& format,
                                                        const ConditioningConfig& config,
                                                        const StageFactories& factories = {});

  Chain(Chain&&) = default;
  Chain& operator=(Chain&&) = default;

  // Runs one interleaved block of input_channels() channels through every stage. The
  // result is interleaved at output_channels() and stays valid until the next call.
  // After flush() a resampling chain fails with ResampleAfterFlush.
  Result<std::span<const float>, CoreError> process(std::span<const float> in);

  // Ends the stream: appends to `out` the interleaved remainder the stages still hold.
  // On failure nothing is appended.
  Result<void, CoreError> flush(std::vector<float>& out);

  // The signal after the structural stages, before conditioning, interleaved at
  // structural_channels(), of the last process() or flush(). Kept only when conditioning
  // stages exist (otherwise the output itself is that signal).
  bool has_detector_signal() const { return !conditioning_.empty(); }
  std::span<const float> detector_signal() const { return detector_; }

  // The echo canceller's per-channel metrics, when the chain has one.
  std::optional<std::vector<EchoMetrics>> echo_metrics() const;

  // How late the resampler puts the output against the input, in output frames; 0
  // without one. The other stages add no delay of their own, except the denoiser's frame.
  uint64_t delay_frames() const { return delay_frames_; }

  uint16_t input_channels() const { return input_channels_; }
  uint16_t structural_channels() const { return structural_channels_; }
  uint16_t output_channels() const { return output_channels_; }

 private:
  using StageList = std::vector<std::unique_ptr<Stage>>;

  Chain(StageList structural, StageList conditioning, uint16_t input_channels);

  Result<void, CoreError> run(StageList& stages, uint16_t& channels);
  Result<void, CoreError> run_and_flush(StageList& stages, uint16_t& channels);
  void copy_detector_signal(uint16_t channels);
  void interleave_current(uint16_t channels);

  StageList structural_;
  StageList conditioning_;
  std::vector<float> current_;
  std::vector<float> scratch_;
  std::vector<float> tail_;  // a stage's flush output while it is merged per channel
  std::vector<float> detector_;
  uint16_t input_channels_;
  uint16_t structural_channels_;
  uint16_t output_channels_;
  uint64_t delay_frames_ = 0;
};

}  // namespace murello
