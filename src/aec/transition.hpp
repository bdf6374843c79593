// Transition: mixes the processed output with the unprocessed input, so the
// output slides to the raw microphone signal while no delay is trusted and back
// once one is.
//
// The mix gain g (1.0 = processed only) moves per input sample: down by
// 1 / (fall length in samples) while falling, up by 1 / (rise length) otherwise,
// within [0, 1]. The gain of each input sample is recorded with it and applied
// when its processed value comes out, one block later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace murello::aec {

class Transition {
 public:
  Transition(std::uint32_t rate_hz, std::uint32_t fall_ms, std::uint32_t rise_ms, std::size_t block);

  // Records input sample `index` of the current block.
  void record(std::size_t index, float unprocessed, bool falling);
  // Mixes the processed block in place.
  void apply(float* processed, std::size_t count) const;

 private:
  float fall_step_;
  float rise_step_;
  float gain_ = 1.0f;
  std::vector<float> unprocessed_;
  std::vector<float> gains_;
};

}  // namespace murello::aec
