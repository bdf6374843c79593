// Stage: one step of a source's conditioning chain.
//
// Conventions: a block is a span of 32-bit float samples plus its channel count; its
// length counts samples of all channels. Between stages a block with two or more channels
// is planar: a block of n samples with c channels holds L = n / c frames, and channel k
// is the run [k * L, (k + 1) * L). A mono block is just its samples. Rates are whole hz
// and are fixed when a stage is built.
//
// Threads: a stage is owned by one chain and called by one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/echo_metrics.hpp"
#include "core/error.hpp"
#include "util/result.hpp"

namespace murello {

class Stage {
 public:
  virtual ~Stage() = default;

  // Consumes one block of `channels` channels and appends the result to `out`, laid out
  // for output_channels(channels) channels. Never removes anything from `out`. A stage
  // keeps state across calls, so a stream cut into blocks of any size gives the same
  // output as one block. Allocates only when `out` or the stage's own buffers must grow.
  virtual Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                          std::vector<float>& out) = 0;

  // The channel count of what process() appends for a block of `channels_in` channels.
  virtual uint16_t output_channels(uint16_t channels_in) const { return channels_in; }

  // Ends the stream: appends whatever the stage still holds (planar, one run per output
  // channel, all runs the same length). Stages without look-ahead append nothing.
  virtual Result<void, CoreError> flush(std::vector<float>& out) {
    (void)out;
    return {};
  }

  // The echo canceller answers with one record per channel; every other stage has none.
  virtual std::optional<std::vector<EchoMetrics>> echo_metrics() const { return std::nullopt; }
};

}  // namespace murello
