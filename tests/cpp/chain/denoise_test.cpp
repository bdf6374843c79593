#include "chain/denoise.hpp"

#include <fstream>
#include <numeric>

#include "chain/chain.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::test_models;

// denoiser.onnx returns the first 256 samples of its frame plus j + j (j - 1) / 2 for the
// channel's frame j (counted through its caches since the last flush), so the expected
// output of a channel is its input delayed by 256 samples plus that offset per hop.
std::vector<float> expected_output(const std::vector<float>& in, size_t frames) {
  std::vector<float> out;
  for (size_t j = 0; j < frames; ++j) {
    const auto offset = static_cast<float>(j * (j + 1) / 2);  // j + j (j - 1) / 2
    for (size_t i = 0; i < kDenoiseHop; ++i) {
      const size_t t = j * kDenoiseHop + i;
      const float x = (t >= 256 && t - 256 < in.size()) ? in[t - 256] : 0.0f;
      out.push_back((x + static_cast<float>(j)) + (offset - static_cast<float>(j)));
    }
  }
  return out;
}

std::unique_ptr<DenoiserStage> stage(const char* model = "denoiser.onnx", uint16_t channels = 1) {
  auto built = DenoiserStage::create(*test_models() / model, std::nullopt, channels);
  EXPECT_TRUE(built) << built.error().message();
  return built ? std::move(built).value() : nullptr;
}

std::vector<float> ramp(size_t n, float start) {
  std::vector<float> v(n);
  std::iota(v.begin(), v.end(), start);
  for (float& x : v) x /= 1024.0f;
  return v;
}

TEST(DenoiserStage, FirstHopOfAMonoStreamYieldsOneFrame) {
  MURELLO_REQUIRE_TEST_MODELS();
  auto denoiser = stage();
  std::vector<float> out{42.0f};
  const std::vector<float> in = ramp(256, 1.0f);
  ASSERT_TRUE(denoiser->process(in, 1, out));
  ASSERT_EQ(out.size(), 257u);  // appended after what was there
  EXPECT_EQ(out[0], 42.0f);
  EXPECT_TRUE(std::all_of(out.begin() + 1, out.end(), [](float x) { return x == 0.0f; }));

  std::vector<float> fresh;
  auto other = stage();
  ASSERT_TRUE(other->process(ramp(100, 0.0f), 1, fresh));
  EXPECT_TRUE(fresh.empty());  // 356 pending: no frame
}

TEST(DenoiserStage, StreamIsTheInputDelayedBy256WhateverTheBlockSizes) {
  MURELLO_REQUIRE_TEST_MODELS();
  auto denoiser = stage();
  const std::vector<float> in = ramp(1000, 1.0f);
  std::vector<float> out;
  size_t at = 0;
  for (size_t block : {100u, 256u, 37u, 607u}) {
    ASSERT_TRUE(denoiser->process(std::span<const float>(in).subspan(at, block), 1, out));
    at += block;
  }
  EXPECT_EQ(out.size(), 3u * 256);  // 1256 pending: frames while 512 remain
  ASSERT_TRUE(denoiser->flush(out));
  EXPECT_EQ(out, expected_output(in, 5));
}

TEST(DenoiserStage, FlushDeliversTheRemainderAndResets) {
  MURELLO_REQUIRE_TEST_MODELS();
  auto denoiser = stage();
  const std::vector<float> in = ramp(600, 1.0f);
  std::vector<float> out;
  ASSERT_TRUE(denoiser->process(in, 1, out));
  EXPECT_EQ(out.size(), 512u);  // 856 pending, two frames, 344 left
  ASSERT_TRUE(denoiser->flush(out));
  EXPECT_EQ(out.size(), 1024u);  // 344 + 512 zeros: two more frames
  EXPECT_EQ(out, expected_output(in, 4));

  // Flushed: the delay and the caches start again.
  std::vector<float> again;
  ASSERT_TRUE(denoiser->process(in, 1, again));
  EXPECT_EQ(again, std::vector<float>(expected_output(in, 2)));
  std::vector<float> nothing;
  auto unused = stage();
  ASSERT_TRUE(unused->flush(nothing));
  EXPECT_TRUE(nothing.empty());
}

TEST(DenoiserStage, ChannelsKeepTheirOwnCachesAndFollowOneAnother) {
  MURELLO_REQUIRE_TEST_MODELS();
  auto denoiser = stage("denoiser.onnx", 2);
  const std::vector<float> left = ramp(512, 1.0f);
  const std::vector<float> right = ramp(512, -600.0f);
  std::vector<float> planar;
  std::vector<float> out;
  for (size_t block = 0; block < 2; ++block) {
    planar.assign(left.begin() + block * 256, left.begin() + (block + 1) * 256);
    planar.insert(planar.end(), right.begin() + block * 256, right.begin() + (block + 1) * 256);
    ASSERT_TRUE(denoiser->process(planar, 2, out));
  }
  ASSERT_EQ(out.size(), 1024u);
  const std::vector<float> want_left = expected_output(left, 2);
  const std::vector<float> want_right = expected_output(right, 2);
  // Block 0: left frame 0, right frame 0; block 1: left frame 1, right frame 1.
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 256, want_left.begin()));
  EXPECT_TRUE(std::equal(out.begin() + 256, out.begin() + 512, want_right.begin()));
  EXPECT_TRUE(std::equal(out.begin() + 512, out.begin() + 768, want_left.begin() + 256));
  EXPECT_TRUE(std::equal(out.begin() + 768, out.end(), want_right.begin() + 256));
}

TEST(DenoiserStage, MalformedOutputsNameTheOutputAndCounts) {
  MURELLO_REQUIRE_TEST_MODELS();
  const std::string prefix = "ONNX backend error from ort: FastEnhancer output ";
  const std::pair<const char*, std::string> cases[] = {
      {"denoiser_wide_wav_out.onnx", "`wav_out` has 512 elements, expected 256"},
      {"denoiser_no_wav_out.onnx", "`wav_out` missing from session run"},
      {"denoiser_int_wav_out.onnx", "`wav_out` must be f32"},
      {"denoiser_short_cache_1.onnx", "`cache_out_1` has 160 elements, expected 320"},
  };
  for (const auto& [model, text] : cases) {
    auto denoiser = stage(model);
    ASSERT_TRUE(denoiser) << model;
    std::vector<float> out;
    auto ran = denoiser->process(ramp(256, 0.0f), 1, out);
    ASSERT_FALSE(ran) << model;
    EXPECT_EQ(ran.error().kind(), ErrorKind::OnnxBackendFailed);
    EXPECT_EQ(ran.error().message(), prefix + text) << model;
  }
}

TEST(DenoiserStage, UnreadableModelIsAModelLoadFailure) {
  MURELLO_REQUIRE_RUNTIME();
  testing::TempDir dir;
  const auto garbage = dir.path() / "denoiser.onnx";
  std::ofstream(garbage) << "garbage";
  auto built = DenoiserStage::create(garbage, std::nullopt, 1);
  ASSERT_FALSE(built);
  EXPECT_EQ(built.error().kind(), ErrorKind::ModelLoadFailed);
  EXPECT_TRUE(
      built.error().message().starts_with("Failed to load model from " + garbage.string() + ": "));
}

TEST(DenoiserStage, RunsInsideTheChainThroughItsBuilder) {
  MURELLO_REQUIRE_TEST_MODELS();
  ConditioningConfig config;
  config.denoise_model_path = *test_models() / "denoiser.onnx";
  StageFactories factories;
  factories.denoiser = make_denoiser_stage;
  auto chain = Chain::create({2, 2, 16000, 16000}, config, factories);
  ASSERT_TRUE(chain) << chain.error().message();
  ASSERT_TRUE(chain->has_value());
  std::vector<float> interleaved(2 * 256, 0.5f);
  auto first = (*chain)->process(interleaved);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), 512u);
  EXPECT_TRUE(std::all_of(first->begin(), first->end(), [](float x) { return x == 0.0f; }));
  auto second = (*chain)->process(interleaved);
  ASSERT_TRUE(second);
  // Frame 1 of each channel: delayed input 0.5 plus offset 1.
  EXPECT_TRUE(std::all_of(second->begin(), second->end(), [](float x) { return x == 1.5f; }));
}

}  // namespace
}  // namespace murello
