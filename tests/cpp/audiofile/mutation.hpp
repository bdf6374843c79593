// Damage valid files in controlled ways and check that the readers stay within the buffer
// and report damage instead of returning made-up audio. Run under the sanitizers these
// catch out-of-range reads and size arithmetic that wraps.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "audiofile/container.hpp"

namespace murello::testing {

// Every proper prefix must fail, except one that only drops what follows the audio
// (trailing chunks, a final pad byte): that one must decode to the very same audio.
inline void expect_prefixes_fail_or_match(const std::vector<uint8_t>& file) {
  auto full = decode_audio(file);
  ASSERT_TRUE(full.ok()) << full.error().display();
  for (size_t length = 0; length < file.size(); ++length) {
    auto part = decode_audio(std::span<const uint8_t>(file.data(), length));
    if (!part) continue;
    EXPECT_EQ(part->samples.size(), full->samples.size()) << "prefix of " << length << " bytes";
    if (part->samples.size() != full->samples.size()) return;
    EXPECT_EQ(0, std::memcmp(part->samples.data(), full->samples.data(),
                             full->samples.size() * sizeof(float)))
        << "prefix of " << length << " bytes";
  }
}

// Overwrites one to three random bytes among the first header_bytes, many times over.
// Whatever comes back must be self-consistent.
inline void expect_flips_decode_consistently(const std::vector<uint8_t>& file,
                                             size_t header_bytes, int rounds, uint32_t seed) {
  std::mt19937 rng(seed);
  const size_t region = std::min(header_bytes, file.size());
  std::vector<uint8_t> damaged;
  for (int round = 0; round < rounds; ++round) {
    damaged = file;
    const int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips; ++f) damaged[rng() % region] = static_cast<uint8_t>(rng());
    auto r = decode_audio(damaged);
    if (!r) continue;
    ASSERT_GE(r->channels, 1);
    ASSERT_GE(r->sample_rate_hz, 1u);
    ASSERT_EQ(r->samples.size() % r->channels, 0u);
    ASSERT_LE(r->samples.size(), damaged.size());
  }
}

}  // namespace murello::testing
