// Signals and helpers shared by the resampler tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "resampler/polyphase.hpp"
#include "support/ulp.hpp"

namespace murello::testing {

inline std::vector<float> noise(size_t frames, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(frames);
  for (float& v : x) v = dist(rng);
  return x;
}

inline std::vector<float> sine(size_t frames, double hz, double rate_hz, double amplitude) {
  std::vector<float> x(frames);
  for (size_t i = 0; i < frames; ++i) {
    x[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * double(i) / rate_hz));
  }
  return x;
}

inline Resampler make(uint32_t input_hz, uint32_t output_hz) {
  auto r = Resampler::create(input_hz, output_hz);
  EXPECT_TRUE(r.ok()) << input_hz << " -> " << output_hz;
  return std::move(r).value();
}

// One process() of the whole input, then flush().
inline std::vector<float> convert(uint32_t input_hz, uint32_t output_hz,
                                  std::span<const float> in) {
  Resampler r = make(input_hz, output_hz);
  std::vector<float> out;
  EXPECT_TRUE(r.process(in, out).ok());
  r.flush(out);
  return out;
}

// The bound between an output and its ascending-sum reference: 1 float ulp, or 1e-9
// where the value is tiny.
inline bool within_bound(float fast, float slow) {
  return within_ulps(fast, slow, 1, 1e-9);
}

}  // namespace murello::testing
