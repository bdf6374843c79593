// Test helpers: synthetic signals and feeding stages whole or in blocks of random sizes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <span>
#include <vector>

#include "chain/stage.hpp"

namespace murello::test {

inline std::vector<float> sine(size_t frames, double hz, double rate_hz, double amplitude) {
  std::vector<float> out(frames);
  for (size_t i = 0; i < frames; ++i) {
    out[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hz * i / rate_hz));
  }
  return out;
}

inline std::vector<float> noise(size_t samples, uint32_t seed, float amplitude) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-amplitude, amplitude);
  std::vector<float> out(samples);
  for (float& x : out) x = dist(rng);
  return out;
}

// Frame counts summing to `total`, each 0 ... max_frames (empty blocks included).
inline std::vector<size_t> random_blocks(size_t total, uint32_t seed, size_t max_frames) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<size_t> dist(0, max_frames);
  std::vector<size_t> blocks;
  for (size_t done = 0; done < total;) {
    const size_t frames = std::min(dist(rng), total - done);
    blocks.push_back(frames);
    done += frames;
  }
  return blocks;
}

// Feeds a planar signal to `stage` cut into blocks of the given frame counts, each block
// planar in turn, and returns the planar concatenation of the outputs and the flush.
inline std::vector<float> run_planar(Stage& stage, std::span<const float> planar,
                                     uint16_t channels, const std::vector<size_t>& blocks) {
  const size_t frames = planar.size() / channels;
  const uint16_t channels_out = stage.output_channels(channels);
  std::vector<std::vector<float>> runs(channels_out);
  std::vector<float> block;
  std::vector<float> out;
  auto collect = [&] {
    const size_t out_frames = out.size() / channels_out;
    for (size_t k = 0; k < channels_out; ++k) {
      runs[k].insert(runs[k].end(), out.begin() + k * out_frames,
                     out.begin() + (k + 1) * out_frames);
    }
    out.clear();
  };
  size_t start = 0;
  for (size_t length : blocks) {
    block.clear();
    for (size_t k = 0; k < channels; ++k) {
      const float* run = planar.data() + k * frames + start;
      block.insert(block.end(), run, run + length);
    }
    start += length;
    EXPECT_TRUE(stage.process(block, channels, out).ok());
    collect();
  }
  EXPECT_TRUE(stage.flush(out).ok());
  collect();
  std::vector<float> joined;
  for (const auto& run : runs) joined.insert(joined.end(), run.begin(), run.end());
  return joined;
}

inline std::vector<float> run_planar(Stage& stage, std::span<const float> planar,
                                     uint16_t channels) {
  return run_planar(stage, planar, channels, {planar.size() / channels});
}

}  // namespace murello::test
