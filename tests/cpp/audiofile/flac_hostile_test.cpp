// Hostile input: streams from the reference encoder with bytes overwritten at random
// must fail cleanly or decode, never read out of bounds or overflow (run this suite
// under the sanitizers). Corrupted frames are resealed with fresh CRCs half of the
// time, so that the damage reaches the subframe and residual decoding behind them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "audiofile/crc.hpp"
#include "audiofile/flac/decoder.hpp"
#include "audiofile/flac_reference_tool.hpp"
#include "support/prerequisite.hpp"

namespace murello {
namespace {

using namespace flac_testing;

// Finds frame starts by their sync code after the metadata, so that resealing can
// recompute the CRCs of the frame that holds a damaged byte.
std::vector<size_t> frame_starts(const std::vector<uint8_t>& bytes, size_t first) {
  std::vector<size_t> starts;
  for (size_t i = first; i + 1 < bytes.size(); ++i)
    if (bytes[i] == 0xFF && (bytes[i + 1] & 0xFE) == 0xF8) starts.push_back(i);
  return starts;
}

void reseal(std::vector<uint8_t>& bytes, size_t start, size_t end) {
  // The header CRC-8 position is unknown without parsing; the CRC-16 at the end is
  // what guards the subframes, and it is always the last two bytes.
  uint16_t crc = crc16(std::span(bytes).subspan(start, end - 2 - start));
  bytes[end - 2] = uint8_t(crc >> 8);
  bytes[end - 1] = uint8_t(crc);
}

TEST(FlacHostile, RandomlyDamagedStreamsFailCleanly) {
  if (!reference_tool_present()) MURELLO_MISSING_PREREQUISITE() << "the flac tool is not installed";
  ScratchDir dir;
  std::mt19937_64 rng(7);
  for (unsigned bits : {16u, 24u}) {
    Pcm pcm{{}, 2, bits, 44100};
    for (int i = 0; i < 3000; ++i)
      for (int c = 0; c < 2; ++c)
        pcm.samples.push_back(int64_t(std::sin(i * 0.05 + c) * (1 << (bits - 2))) +
                              int64_t(rng() % 64) - 32);
    write_wav(dir.file("in.wav"), pcm);
    ASSERT_TRUE(run("flac -s -f -8 -b 576 " + quoted(dir.file("in.wav")) + " -o " +
                    quoted(dir.file("in.flac"))));
    const std::vector<uint8_t> original = read_bytes(dir.file("in.flac"));
    ASSERT_TRUE(decode_flac(original));
    const size_t metadata_end = 42;  // the encoder writes STREAMINFO first; later blocks vary
    std::vector<size_t> starts = frame_starts(original, metadata_end);
    ASSERT_FALSE(starts.empty());

    size_t failures = 0;
    for (int trial = 0; trial < 1500; ++trial) {
      std::vector<uint8_t> bytes = original;
      const size_t frame = starts[rng() % starts.size()];
      const size_t next = std::upper_bound(starts.begin(), starts.end(), frame) == starts.end()
                              ? bytes.size()
                              : *std::upper_bound(starts.begin(), starts.end(), frame);
      for (int hits = 1 + int(rng() % 3); hits > 0; --hits)
        bytes[frame + 8 + rng() % (next - frame - 8)] = uint8_t(rng());
      if (trial % 2) reseal(bytes, frame, next);
      if (trial % 7 == 0) bytes.resize(frame + rng() % (bytes.size() - frame));
      auto decoded = decode_flac(bytes);
      if (!decoded) {
        ++failures;
        auto kind = decoded.error().kind;
        EXPECT_TRUE(kind == DecodeError::Kind::Malformed || kind == DecodeError::Kind::Truncated);
      }
    }
    // The checks catch nearly everything: most damage must be reported.
    EXPECT_GT(failures, 1400u) << bits;
  }
}

}  // namespace
}  // namespace murello
