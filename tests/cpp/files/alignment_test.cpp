#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "files/alignment.hpp"
#include "files/file_fixtures.hpp"
#include "files/load.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::TempDir;

TEST(ConvertedFrames, RoundsHalvesUp) {
  EXPECT_EQ(converted_frames(8000, 48000, 16000), 2667u);   // 2666.67
  EXPECT_EQ(converted_frames(3, 48000, 8000), 1u);          // 0.5
  EXPECT_EQ(converted_frames(1, 44100, 16000), 0u);         // 0.36
  EXPECT_EQ(converted_frames(uint64_t{1} << 40, 384000, 384000), uint64_t{1} << 40);
}

// Blocks taken one by one come out as the whole output aligned in one go.
TEST(OutputAlignment, BlocksAddUpToTheWholeAligned) {
  std::vector<float> whole(2 * 1100);
  for (size_t i = 0; i < whole.size(); ++i) whole[i] = float(i);
  std::vector<float> at_once = whole;
  OutputAlignment one(106, 2, 48000, 16000);
  one.finish(2700, at_once);
  ASSERT_EQ(at_once.size(), 2u * 900);
  EXPECT_EQ(at_once.front(), 212.0f);

  OutputAlignment blocks(106, 2, 48000, 16000);
  std::vector<float> joined;
  for (size_t at = 0; at < 2 * 700; at += 2 * 50) {  // 50 frames at a time, then the tail
    const size_t from = joined.size();
    joined.insert(joined.end(), whole.begin() + at, whole.begin() + at + 2 * 50);
    blocks.take(joined, from);
  }
  const size_t from = joined.size();
  joined.insert(joined.end(), whole.begin() + 2 * 700, whole.end());
  blocks.finish(2700, joined, from);
  EXPECT_EQ(joined, at_once);
}

TEST(OutputAlignment, PadsATailThatFallsShort) {
  std::vector<float> block(10, 1.0f);
  OutputAlignment alignment(2, 1, 16000, 16000);
  alignment.finish(12, block);
  ASSERT_EQ(block.size(), 12u);
  EXPECT_EQ(block[7], 1.0f);
  EXPECT_EQ(block[8], 0.0f);
}

// An impulse at input frame k comes out of load_file at round(k x out / in), and the
// result holds round(n x out / in) frames, for every pair of common rates.
class LoadAlignment : public ::testing::TestWithParam<std::pair<uint32_t, uint32_t>> {};

TEST_P(LoadAlignment, ImpulseLandsWhereItWasAndLengthIsExact) {
  const auto [in_hz, out_hz] = GetParam();
  TempDir dir;
  const auto path = dir.path() / "impulse.wav";
  const uint64_t frames = in_hz / 4 + 3;
  for (const uint64_t k : {uint64_t{5}, frames / 2 + 1, frames - 7}) {
    std::vector<float> impulse(frames, 0.0f);
    impulse[k] = 0.9f;
    testing::write_float_wav(path, impulse, in_hz, 1);
    LoadRequest request;
    request.config.sample_rate = out_hz;
    auto loaded = load_file(path, request);
    ASSERT_TRUE(loaded) << loaded.error().message();
    const auto& out = loaded->samples;
    ASSERT_EQ(out.size(), converted_frames(frames, in_hz, out_hz));
    const auto peak = std::max_element(out.begin(), out.end(), [](float a, float b) {
      return std::fabs(a) < std::fabs(b);
    });
    const double expected = std::round(double(k) * out_hz / in_hz);
    EXPECT_NEAR(double(peak - out.begin()), expected, 1.0) << "impulse at " << k;
  }
}

std::vector<std::pair<uint32_t, uint32_t>> rate_pairs() {
  const uint32_t rates[] = {8000, 16000, 22050, 44100, 48000, 96000};
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  for (uint32_t a : rates)
    for (uint32_t b : rates)
      if (a != b) pairs.emplace_back(a, b);
  return pairs;
}

INSTANTIATE_TEST_SUITE_P(Rates, LoadAlignment, ::testing::ValuesIn(rate_pairs()),
                         [](const auto& info) {
                           return std::to_string(info.param.first) + "_to_" +
                                  std::to_string(info.param.second);
                         });

}  // namespace
}  // namespace murello
