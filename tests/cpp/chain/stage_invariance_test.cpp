// Every stage carries its state across blocks: any cut of a stream gives the same output
// (the resampler's within its rounding bound: its transform passes depend on the cut).
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "chain/channel_stages.hpp"
#include "chain/filter.hpp"
#include "chain/gain.hpp"
#include "chain/resample_stage.hpp"
#include "chain/stage_blocks.hpp"
#include "support/ulp.hpp"

namespace murello {
namespace {

struct Maker {
  const char* name;
  std::function<std::unique_ptr<Stage>()> make;
  bool bit_exact = true;
};

void PrintTo(const Maker& m, std::ostream* os) { *os << m.name; }

class BlockSizes : public ::testing::TestWithParam<Maker> {};

TEST_P(BlockSizes, OneBlockEqualsManyRandomBlocks) {
  constexpr uint16_t kChannels = 2;
  constexpr size_t kFrames = 9000;
  // Loud noise with a quiet stretch, so the gain stages both reduce and raise.
  std::vector<float> planar = test::noise(kFrames * kChannels, 7, 1.5f);
  for (size_t i = 3000; i < 6000; ++i) planar[i] *= 0.001f;
  auto whole_stage = GetParam().make();
  const std::vector<float> whole = test::run_planar(*whole_stage, planar, kChannels);
  for (uint32_t seed : {1u, 2u}) {
    auto cut_stage = GetParam().make();
    const std::vector<float> cut =
        test::run_planar(*cut_stage, planar, kChannels, test::random_blocks(kFrames, seed, 700));
    if (GetParam().bit_exact) {
      ASSERT_EQ(cut, whole) << "seed " << seed;
      continue;
    }
    ASSERT_EQ(cut.size(), whole.size());
    for (size_t i = 0; i < cut.size(); ++i) {
      ASSERT_TRUE(testing::within_ulps(cut[i], whole[i], 2, 2e-9))
          << "seed " << seed << " at " << i << ": " << cut[i] << " vs " << whole[i];
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stages, BlockSizes,
    ::testing::Values(
        Maker{"dc_removal", [] { return std::make_unique<DcRemovalStage>(2); }},
        Maker{"highpass",
              [] { return std::make_unique<HighpassStage>(HighpassCutoff::Hz100, 16000, 2); }},
        Maker{"agc", [] { return std::make_unique<AgcStage>(-20, 16000); }},
        Maker{"limiter", [] { return std::make_unique<LimiterStage>(-1.0f, 16000); }},
        Maker{"resample",
              [] {
                return std::make_unique<ResampleStage>(
                    std::move(ResampleStage::create(48000, 16000, 2)).value());
              },
              false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace murello
