// ResampleStage: one mono resampler per channel of a planar block.
//
// Conventions: rates are whole hz; blocks are planar (see stage.hpp). Every resampler
// gets the same number of input frames, so every channel's output run has the same
// length. Resampler errors become core kinds through core_error_from_resampler().
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "chain/stage.hpp"
#include "resampler/polyphase.hpp"

namespace murello {

// ZeroSampleRate -> SampleRateOutOfRange, FilterTooLarge -> ResampleConfigInvalid,
// ProcessAfterFlush -> ResampleAfterFlush.
CoreError core_error_from_resampler(const ResamplerError& error);

class ResampleStage final : public Stage {
 public:
  // Builds max(channels, 1) resamplers; fails as Resampler::create does, mapped.
  static Result<ResampleStage, CoreError> create(uint32_t input_hz, uint32_t output_hz,
                                                 uint16_t channels);

  // Fails with ResampleAfterFlush once flushed, even for an empty block.
  Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                  std::vector<float>& out) override;
  // Appends each fed resampler's tail, channel after channel; later process() calls fail.
  Result<void, CoreError> flush(std::vector<float>& out) override;

  // How late the output is against the input, in output frames (the filter's centre).
  uint64_t group_delay_frames() const { return resamplers_.front().group_delay_frames(); }

 private:
  explicit ResampleStage(std::vector<Resampler> resamplers);

  std::vector<Resampler> resamplers_;
};

}  // namespace murello
