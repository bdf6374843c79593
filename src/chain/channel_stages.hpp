// The structural stages that reshape a source's channels before resampling.
//
// Conventions: input blocks are interleaved with the source's channel count; a trailing
// partial frame is ignored. Channel selection (map or down-mix) keeps the output
// interleaved; de-interleaving turns it planar for the stages that follow.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "chain/stage.hpp"

namespace murello {

// Delivers the source channels the map names, in map order (a channel may repeat).
class ChannelMapStage final : public Stage {
 public:
  // Every entry must be below `source_channels` (checked with the configuration).
  ChannelMapStage(std::vector<uint16_t> map, uint16_t source_channels);

  Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                  std::vector<float>& out) override;
  uint16_t output_channels(uint16_t) const override;

 private:
  std::vector<uint16_t> map_;
  uint16_t source_channels_;
};

// Averages every frame to one sample (sum in single precision, then divided).
class DownmixStage final : public Stage {
 public:
  explicit DownmixStage(uint16_t source_channels);

  Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                  std::vector<float>& out) override;
  uint16_t output_channels(uint16_t) const override { return 1; }

 private:
  uint16_t source_channels_;
};

// Interleaved to planar, same channel count.
class DeinterleaveStage final : public Stage {
 public:
  Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                  std::vector<float>& out) override;
};

}  // namespace murello
