#include "chain/resample_stage.hpp"

#include <algorithm>
#include <utility>


namespace murello {

CoreError core_error_from_resampler(const ResamplerError& error) {
  switch (error.kind) {
    case ResamplerError::Kind::ZeroSampleRate:
      return CoreError(ErrorKind::SampleRateOutOfRange);
    case ResamplerError::Kind::FilterTooLarge:
      return CoreError(ErrorKind::ResampleConfigInvalid);
    case ResamplerError::Kind::ProcessAfterFlush:
      return CoreError(ErrorKind::ResampleAfterFlush);
  }
  return CoreError(ErrorKind::ResampleFailed, error.message());
}

ResampleStage::ResampleStage(std::vector<Resampler> resamplers)
    : resamplers_(std::move(resamplers)) {}

Result<ResampleStage, CoreError> ResampleStage::create(uint32_t input_hz, uint32_t output_hz,
                                                       uint16_t channels) {
  auto first = Resampler::create(input_hz, output_hz);
  if (!first) return core_error_from_resampler(first.error());
  // One design for every channel.
  std::vector<Resampler> resamplers;
  const size_t count = std::max<size_t>(channels, 1);
  resamplers.reserve(count);
  for (size_t k = 1; k < count; ++k) resamplers.push_back(first->fresh());
  resamplers.push_back(std::move(first).value());
  return ResampleStage(std::move(resamplers));
}

Result<void, CoreError> ResampleStage::process(std::span<const float> in, uint16_t,
                                               std::vector<float>& out) {
  // The stage's own channel count decides the split, so no run can reach past the block.
  const size_t frames = in.size() / resamplers_.size();
  for (size_t k = 0; k < resamplers_.size(); ++k) {
    auto fed = resamplers_[k].process(in.subspan(k * frames, frames), out);
    if (!fed) return core_error_from_resampler(fed.error());
  }
  return {};
}

Result<void, CoreError> ResampleStage::flush(std::vector<float>& out) {
  for (Resampler& resampler : resamplers_) resampler.flush(out);
  return {};
}

}  // namespace murello
