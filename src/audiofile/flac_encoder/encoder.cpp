#include "audiofile/flac_encoder/encoder.hpp"

#include <algorithm>

#include "audiofile/flac_encoder/stream_encoder.hpp"

namespace murello {
namespace {

constexpr uint64_t kMaxStreamInfoFrames = uint64_t(1) << 36;

}  // namespace

Result<size_t, DecodeError> encode_flac(const FlacEncodeRequest& request,
                                        std::span<const float> samples,
                                        std::vector<uint8_t>& out) {
  auto encoder = FlacStreamEncoder::create(request, samples.size());
  if (!encoder) return std::move(encoder).error();
  if (samples.size() % request.channels != 0)
    return DecodeError::truncated(request.channels, samples.size() % request.channels);
  if (samples.size() / request.channels >= kMaxStreamInfoFrames)
    return DecodeError::malformed(
        21, "no more sample frames than streaminfo's 36-bit total can declare");
  const size_t start = out.size();
  encoder->begin(out);
  encoder->push(samples, out);
  const auto info = encoder->finish(out);
  std::copy(info.begin(), info.end(),
            out.begin() + std::ptrdiff_t(start + FlacStreamEncoder::kStreamInfoOffset));
  return out.size() - start;
}

}  // namespace murello
