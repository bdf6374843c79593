#include "files/alignment.hpp"

#include <algorithm>

namespace murello {

uint64_t converted_frames(uint64_t frames, uint32_t input_hz, uint32_t output_hz) {
  const unsigned __int128 scaled = static_cast<unsigned __int128>(frames) * output_hz;
  return static_cast<uint64_t>((2 * scaled + input_hz) / (2 * uint64_t{input_hz}));
}

OutputAlignment::OutputAlignment(uint64_t delay_frames, uint16_t channels, uint32_t input_hz,
                                 uint32_t output_hz)
    : to_drop_frames_(delay_frames),
      channels_(std::max<uint16_t>(channels, 1)),
      input_hz_(input_hz),
      output_hz_(output_hz) {}

void OutputAlignment::take(std::vector<float>& block, size_t from) {
  const uint64_t frames = (block.size() - from) / channels_;
  const uint64_t dropped = std::min(frames, to_drop_frames_);
  to_drop_frames_ -= dropped;
  const auto first = block.begin() + static_cast<std::ptrdiff_t>(from);
  block.erase(first, first + static_cast<std::ptrdiff_t>(dropped * channels_));
  delivered_frames_ += frames - dropped;
}

void OutputAlignment::finish(uint64_t input_frames, std::vector<float>& block, size_t from) {
  take(block, from);
  const uint64_t wanted = converted_frames(input_frames, input_hz_, output_hz_);
  const uint64_t block_frames = (block.size() - from) / channels_;
  const uint64_t before = delivered_frames_ - block_frames;
  // Before the flush the output trails the input by the delay, so it never overshoots.
  const uint64_t keep = wanted > before ? wanted - before : 0;
  block.resize(from + keep * channels_, 0.0f);
  delivered_frames_ = before + keep;
}

}  // namespace murello
