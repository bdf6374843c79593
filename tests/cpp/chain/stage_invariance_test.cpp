// Every stage carries its state across blocks: any cut of a stream gives the same output.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "chain/channel_stages.hpp"
#include "chain/filter.hpp"
#include "chain/gain.hpp"
#include "chain/resample_stage.hpp"
#include "chain/stage_blocks.hpp"

namespace murello {
namespace {

struct Maker {
  const char* name;
  std::function<std::unique_ptr<Stage>()> make;
};

void PrintTo(const Maker& m, std::ostream* os) { *os << m.name; }

class BlockSizes : public testing::TestWithParam<Maker> {};

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
    ASSERT_EQ(cut, whole) << "seed " << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Stages, BlockSizes,
    testing::Values(
        Maker{"dc_removal", [] { return std::make_unique<DcRemovalStage>(2); }},
        Maker{"highpass",
              [] { return std::make_unique<HighpassStage>(HighpassCutoff::Hz100, 16000, 2); }},
        Maker{"agc", [] { return std::make_unique<AgcStage>(-20, 16000); }},
        Maker{"limiter", [] { return std::make_unique<LimiterStage>(-1.0f, 16000); }},
        Maker{"resample", [] {
                return std::make_unique<ResampleStage>(
                    std::move(ResampleStage::create(48000, 16000, 2)).value());
              }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace murello
