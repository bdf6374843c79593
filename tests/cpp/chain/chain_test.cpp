#include "chain/chain.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <set>

#include "resampler/polyphase.hpp"
#include "chain/stage_blocks.hpp"

namespace murello {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

ChainFormat format(uint16_t in_channels, uint16_t out_channels, uint32_t in_hz, uint32_t out_hz) {
  return {in_channels, out_channels, in_hz, out_hz};
}

Chain build(const ChainFormat& f, const ConditioningConfig& config,
            const StageFactories& factories = {}) {
  auto chain = Chain::create(f, config, factories);
  EXPECT_TRUE(chain.ok()) << chain.error().message();
  EXPECT_TRUE(chain->has_value());
  return std::move(**chain);
}

std::vector<float> feed(Chain& chain, std::span<const float> in) {
  auto out = chain.process(in);
  EXPECT_TRUE(out.ok());
  return std::vector<float>(out->begin(), out->end());
}

// Stands in for the denoiser or the echo canceller: records its input, adds `offset`,
// appends `tail_frames` frames of 9.0 per channel on flush and can be told to fail.
struct Probe final : Stage {
  Result<void, CoreError> process(std::span<const float> in, uint16_t channels,
                                  std::vector<float>& out) override {
    if (fail) return CoreError(ErrorKind::OnnxBackendFailed, "ort", "probe failed");
    seen.assign(in.begin(), in.end());
    seen_channels = channels;
    for (float x : in) out.push_back(x + offset);
    if (poison_at < in.size()) out[out.size() - in.size() + poison_at] = poison;
    return {};
  }
  Result<void, CoreError> flush(std::vector<float>& out) override {
    out.insert(out.end(), tail_frames * channels, 9.0f);
    return {};
  }
  std::optional<std::vector<EchoMetrics>> echo_metrics() const override {
    if (!metrics) return std::nullopt;
    return std::vector<EchoMetrics>(channels, EchoMetrics{42, 1.5f, false, 0, 0, 0});
  }

  uint16_t channels = 1;
  float offset = 0.0f;
  size_t tail_frames = 0;
  bool fail = false;
  bool metrics = false;
  size_t poison_at = SIZE_MAX;  // where process() writes `poison` into its output
  float poison = 0.0f;
  std::vector<float> seen;
  uint16_t seen_channels = 0;
};

// A factory that builds a Probe and keeps a pointer to it for the test.
template <class... Config>
auto probe_factory(Probe*& built, size_t tail_frames = 0, bool metrics = false) {
  return [&built, tail_frames, metrics](const Config&..., uint16_t channels, uint32_t)
             -> Result<std::unique_ptr<Stage>, CoreError> {
    auto probe = std::make_unique<Probe>();
    probe->channels = channels;
    probe->tail_frames = tail_frames;
    probe->metrics = metrics;
    built = probe.get();
    return std::unique_ptr<Stage>(std::move(probe));
  };
}

TEST(Chain, NoStageNeededBuildsNoChain) {
  auto chain = Chain::create(format(1, 1, 16000, 16000), {});
  ASSERT_TRUE(chain.ok());
  EXPECT_FALSE(chain->has_value());
}

TEST(Chain, NonFiniteSamplesBehaveAsZero) {
  ConditioningConfig config;
  config.dc_removal = true;
  config.limiter_db = -1.0f;
  Chain dirty = build(format(1, 1, 16000, 16000), config);
  Chain clean = build(format(1, 1, 16000, 16000), config);
  const float signaling_nan = std::bit_cast<float>(0xff800001u);
  const std::vector<float> in = {0.5f, kNan, 0.25f, kInf, -kInf, signaling_nan, -0.5f};
  const std::vector<float> zeroed = {0.5f, 0.0f, 0.25f, 0.0f, 0.0f, 0.0f, -0.5f};
  EXPECT_EQ(feed(dirty, in), feed(clean, zeroed));
  EXPECT_EQ(dirty.detector_signal()[1], 0.0f);
}

// The whole stream, flush included, in blocks of 480 frames.
std::vector<float> stream(Chain& chain, std::span<const float> in, uint16_t channels) {
  std::vector<float> out;
  for (size_t at = 0; at < in.size(); at += 480 * channels) {
    const size_t length = std::min<size_t>(480 * channels, in.size() - at);
    const auto block = feed(chain, in.subspan(at, length));
    out.insert(out.end(), block.begin(), block.end());
  }
  EXPECT_TRUE(chain.flush(out).ok());
  return out;
}

// Samples near the float maximum overflow the filters' state and the resampler's output;
// no stage may carry that past the bad samples themselves.
TEST(Chain, SamplesBeyondAnyAudioScaleBehaveAsZero) {
  constexpr float kMax = std::numeric_limits<float>::max();
  struct Layout {
    const char* name;
    ChainFormat format;
    ConditioningConfig config;
  };
  ConditioningConfig dc, highpass, everything;
  dc.dc_removal = true;
  highpass.highpass = HighpassCutoff::Hz100;
  everything.dc_removal = true;
  everything.highpass = HighpassCutoff::Hz80;
  everything.agc_db = -20;
  everything.limiter_db = -1.0f;
  const Layout layouts[] = {
      {"dc removal", format(1, 1, 16000, 16000), dc},
      {"high-pass", format(1, 1, 16000, 16000), highpass},
      {"resampler", format(1, 1, 48000, 16000), {}},
      {"resampler up", format(1, 1, 16000, 44100), {}},
      {"stereo, every linear stage", format(2, 2, 48000, 16000), everything},
  };
  struct Bad {
    const char* name;
    std::vector<float> samples;
  };
  const Bad bads[] = {
      {"one 3e38", {3e38f}},
      {"3e38 then -3e38", {3e38f, -3e38f}},
      {"the float maximum, both signs", {kMax, -kMax, kMax}},
      {"a burst near the maximum", std::vector<float>(200, 3.3e38f)},
      {"2^33", {8589934592.0f}},
  };
  for (const Layout& layout : layouts) {
    for (const Bad& bad : bads) {
      SCOPED_TRACE(std::string(layout.name) + ", " + bad.name);
      const uint16_t channels = layout.format.input_channels;
      std::vector<float> dirty = test::noise(9600 * channels, 11, 0.5f);
      std::vector<float> zeroed = dirty;
      const size_t at = 3000 * channels + 1;  // mid-block, and on the second channel
      for (size_t i = 0; i < bad.samples.size(); ++i) {
        dirty[at + i * channels] = bad.samples[i];
        zeroed[at + i * channels] = 0.0f;
      }
      Chain with_bad = build(layout.format, layout.config);
      Chain reference = build(layout.format, layout.config);
      const std::vector<float> out = stream(with_bad, dirty, channels);
      EXPECT_EQ(out, stream(reference, zeroed, channels));
    }
  }
}

// A stage that puts out a non-finite sample (a model gone wrong) hands the next stage
// 0.0 there, so the high-pass after it keeps working.
TEST(Chain, NonFiniteStageOutputReachesNoLaterStage) {
  Probe* dirty_probe = nullptr;
  Probe* clean_probe = nullptr;
  StageFactories dirty_factories, clean_factories;
  dirty_factories.denoiser = probe_factory<ConditioningConfig>(dirty_probe);
  clean_factories.denoiser = probe_factory<ConditioningConfig>(clean_probe);
  ConditioningConfig config;
  config.denoise_model_path = "model.onnx";
  config.highpass = HighpassCutoff::Hz100;
  Chain dirty = build(format(1, 1, 16000, 16000), config, dirty_factories);
  Chain clean = build(format(1, 1, 16000, 16000), config, clean_factories);
  dirty_probe->poison_at = clean_probe->poison_at = 7;
  dirty_probe->poison = kNan;
  const std::vector<float> in = test::noise(1600, 12, 0.5f);
  for (int block = 0; block < 3; ++block) {
    EXPECT_EQ(feed(dirty, in), feed(clean, in));
    dirty_probe->poison = block == 0 ? -kInf : kInf;
  }
}

TEST(Chain, StereoDeliveredAsMonoIsAveraged) {
  Chain chain = build(format(2, 1, 16000, 16000), {});
  EXPECT_EQ(feed(chain, std::vector<float>{1.0f, 0.0f, -0.5f, 0.25f, 7.0f}),
            (std::vector<float>{0.5f, -0.125f}));  // the partial frame is dropped
  EXPECT_EQ(chain.output_channels(), 1);
}

TEST(Chain, ChannelMapPicksAndOrdersSourceChannels) {
  ConditioningConfig config;
  config.channel_map = {{3, 0}};
  Chain chain = build(format(4, 2, 16000, 16000), config);
  EXPECT_EQ(feed(chain, std::vector<float>{0, 1, 2, 3, 10, 11, 12, 13}),
            (std::vector<float>{3, 0, 13, 10}));
  EXPECT_EQ(chain.structural_channels(), 2);
}

TEST(Chain, StereoPassThroughWithStagesStaysInterleaved) {
  ConditioningConfig config;
  config.limiter_db = 0.0f;
  Chain chain = build(format(2, 2, 16000, 16000), config);
  const std::vector<float> in = {0.1f, -0.2f, 0.3f, -0.4f, 0.5f, -0.6f};
  EXPECT_EQ(feed(chain, in), in);
}

// Per-channel reference: two standalone resamplers, interleaved by hand.
struct StereoReference {
  Resampler left = std::move(Resampler::create(48000, 16000)).value();
  Resampler right = std::move(Resampler::create(48000, 16000)).value();

  std::vector<float> interleave(const std::vector<float>& l, const std::vector<float>& r) {
    std::vector<float> out;
    for (size_t i = 0; i < l.size(); ++i) out.insert(out.end(), {l[i], r[i]});
    return out;
  }
  std::vector<float> process(std::span<const float> frames) {
    std::vector<float> l_in, r_in, l_out, r_out;
    for (size_t i = 0; i + 1 < frames.size(); i += 2) {
      l_in.push_back(frames[i]);
      r_in.push_back(frames[i + 1]);
    }
    EXPECT_TRUE(left.process(l_in, l_out).ok());
    EXPECT_TRUE(right.process(r_in, r_out).ok());
    return interleave(l_out, r_out);
  }
  std::vector<float> flush() {
    std::vector<float> l_out, r_out;
    left.flush(l_out);
    right.flush(r_out);
    return interleave(l_out, r_out);
  }
};

TEST(Chain, StereoIsResampledPerChannelAndFlushTailsAreMergedPerChannel) {
  Chain chain = build(format(2, 2, 48000, 16000), {});
  StereoReference reference;
  const std::vector<float> left = test::sine(4800, 440.0, 48000.0, 0.5);
  const std::vector<float> right = test::noise(4800, 3, 0.5f);
  const std::vector<float> in = reference.interleave(left, right);
  const std::span<const float> first(in.data(), 2 * 2400);
  const std::span<const float> second(in.data() + 2 * 2400, 2 * 2400);
  for (auto block : {first, second}) {
    const std::vector<float> expected = reference.process(block);
    EXPECT_EQ(feed(chain, block), expected);
    EXPECT_NEAR(expected.size() / 2.0, 800.0, 40.0);  // a third of the input frames
  }
  std::vector<float> tail = {123.0f};  // flush appends after what is there
  ASSERT_TRUE(chain.flush(tail).ok());
  std::vector<float> expected_tail = reference.flush();
  ASSERT_FALSE(expected_tail.empty());
  expected_tail.insert(expected_tail.begin(), 123.0f);
  EXPECT_EQ(tail, expected_tail);

  auto after = chain.process(first);
  ASSERT_FALSE(after.ok());
  EXPECT_EQ(after.error().kind(), ErrorKind::ResampleAfterFlush);
  EXPECT_EQ(chain.process({}).error().kind(), ErrorKind::ResampleAfterFlush);
}

TEST(Chain, ResamplerConstructionErrorsMapToCoreKinds) {
  auto zero = Chain::create(format(1, 1, 0, 16000), {});
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().kind(), ErrorKind::SampleRateOutOfRange);
  // A steep down-conversion whose filter would need more taps than the design allows.
  auto huge = Chain::create(format(1, 1, 384000, 1001), {});
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().kind(), ErrorKind::ResampleConfigInvalid);
}

ConditioningConfig all_conditioning() {
  ConditioningConfig config;
  config.dc_removal = true;
  config.highpass = HighpassCutoff::Hz100;
  config.agc_db = -20;
  config.limiter_db = -1.0f;
  return config;
}

TEST(Chain, DetectorCopyIsTakenBeforeConditioning) {
  ConditioningConfig config = all_conditioning();
  config.channel_map = {{2, 0}};
  Chain conditioned = build(format(3, 2, 48000, 16000), config);
  config = ConditioningConfig();
  config.channel_map = {{2, 0}};
  Chain structural_only = build(format(3, 2, 48000, 16000), config);
  EXPECT_FALSE(structural_only.has_detector_signal());
  std::vector<float> in = test::noise(3 * 4800, 5, 0.8f);
  for (size_t i = 0; i < in.size(); i += 3) in[i] += 0.3f;  // an offset to remove
  const std::vector<float> out = feed(conditioned, in);
  const std::vector<float> unconditioned = feed(structural_only, in);
  ASSERT_TRUE(conditioned.has_detector_signal());
  EXPECT_TRUE(std::ranges::equal(conditioned.detector_signal(), unconditioned));
  EXPECT_NE(out, unconditioned);

  std::vector<float> tail;
  std::vector<float> unconditioned_tail;
  ASSERT_TRUE(conditioned.flush(tail).ok());
  ASSERT_TRUE(structural_only.flush(unconditioned_tail).ok());
  EXPECT_TRUE(std::ranges::equal(conditioned.detector_signal(), unconditioned_tail));
}

TEST(Chain, OneBlockEqualsManyRandomBlocks) {
  const std::vector<float> in = test::noise(2 * 48000, 11, 0.9f);
  auto run = [&](const std::vector<size_t>& blocks) {
    Chain chain = build(format(2, 2, 48000, 16000), all_conditioning());
    std::vector<float> out;
    std::vector<float> detector;
    size_t start = 0;
    for (size_t frames : blocks) {
      const auto produced = feed(chain, std::span<const float>(in).subspan(2 * start, 2 * frames));
      out.insert(out.end(), produced.begin(), produced.end());
      detector.insert(detector.end(), chain.detector_signal().begin(),
                      chain.detector_signal().end());
      start += frames;
    }
    EXPECT_TRUE(chain.flush(out).ok());
    detector.insert(detector.end(), chain.detector_signal().begin(), chain.detector_signal().end());
    return std::make_pair(out, detector);
  };
  const auto whole = run({48000});
  for (uint32_t seed : {21u, 22u}) {
    const auto cut = run(test::random_blocks(48000, seed, 1500));
    EXPECT_EQ(cut.first, whole.first) << seed;
    EXPECT_EQ(cut.second, whole.second) << seed;
  }
}

TEST(Chain, WorkBuffersAreReusedOnceSizesAreStable) {
  Chain chain = build(format(2, 1, 48000, 16000), all_conditioning());
  const std::vector<float> in = test::noise(2 * 960, 4, 0.5f);
  std::set<const float*> seen;
  for (int i = 0; i < 12; ++i) {
    auto out = chain.process(in);
    ASSERT_TRUE(out.ok());
    if (i >= 2) seen.insert(out->data());
  }
  EXPECT_LE(seen.size(), 2u);  // the current and scratch buffers, swapped
}

TEST(Chain, DenoiserPlugsInBetweenDcRemovalAndHighpass) {
  Probe* denoiser = nullptr;
  StageFactories factories;
  factories.denoiser = probe_factory<ConditioningConfig>(denoiser, 4);
  ConditioningConfig config;
  config.dc_removal = true;
  config.denoise_model_path = "model.onnx";
  config.highpass = HighpassCutoff::Hz80;
  Chain chain = build(format(2, 2, 16000, 16000), config, factories);
  ASSERT_NE(denoiser, nullptr);
  EXPECT_EQ(denoiser->channels, 2);
  ConditioningConfig dc_only;
  dc_only.dc_removal = true;
  Chain reference = build(format(2, 2, 16000, 16000), dc_only);
  const std::vector<float> in = test::noise(2 * 300, 8, 0.5f);
  const std::vector<float> removed = feed(reference, in);
  feed(chain, in);
  EXPECT_EQ(denoiser->seen_channels, 2);
  // The probe saw the DC-removed signal in planar form.
  std::vector<float> seen_interleaved;
  for (size_t f = 0; f < 300; ++f) {
    seen_interleaved.insert(seen_interleaved.end(), {denoiser->seen[f], denoiser->seen[300 + f]});
  }
  EXPECT_EQ(seen_interleaved, removed);
  // Its flush tail passes through the high-pass and comes out interleaved.
  std::vector<float> tail;
  ASSERT_TRUE(chain.flush(tail).ok());
  EXPECT_EQ(tail.size(), 8u);
}

TEST(Chain, EchoCancellerComesAfterResamplingAndAnswersMetrics) {
  Probe* echo = nullptr;
  StageFactories factories;
  factories.echo_canceller = probe_factory<EchoConfig>(echo, 3, true);
  ConditioningConfig config;
  config.echo = EchoConfig{};
  Chain chain = build(format(2, 2, 48000, 16000), config, factories);
  ASSERT_NE(echo, nullptr);
  const std::vector<float> in = test::noise(2 * 4800, 9, 0.5f);
  const std::vector<float> out = feed(chain, in);
  EXPECT_EQ(echo->seen.size(), out.size());  // it ran at the delivered rate
  auto metrics = chain.echo_metrics();
  ASSERT_TRUE(metrics);
  ASSERT_EQ(metrics->size(), 2u);
  EXPECT_EQ((*metrics)[1].delay_frames, 42u);

  // Each channel's processed part is followed by that channel's own tail.
  std::vector<float> tail;
  ASSERT_TRUE(chain.flush(tail).ok());
  const size_t frames = tail.size() / 2;
  ASSERT_GT(frames, 3u);
  for (size_t f = frames - 3; f < frames; ++f) {
    EXPECT_EQ(tail[2 * f], 9.0f);
    EXPECT_EQ(tail[2 * f + 1], 9.0f);
  }
  EXPECT_NE(tail[2 * (frames - 4)], 9.0f);
}

TEST(Chain, StageErrorsEndTheCall) {
  Probe* denoiser = nullptr;
  StageFactories factories;
  factories.denoiser = probe_factory<ConditioningConfig>(denoiser);
  ConditioningConfig config;
  config.denoise_model_path = "model.onnx";
  Chain chain = build(format(1, 1, 48000, 16000), config, factories);
  ASSERT_TRUE(chain.process(std::vector<float>(480, 0.1f)).ok());
  denoiser->fail = true;
  auto out = chain.process(std::vector<float>(480, 0.1f));
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().kind(), ErrorKind::OnnxBackendFailed);
  // The resampler's tail reaches the failing stage: nothing is appended.
  std::vector<float> tail = {1.0f};
  EXPECT_FALSE(chain.flush(tail).ok());
  EXPECT_EQ(tail, std::vector<float>{1.0f});
}

TEST(Chain, MissingOrFailingFactoriesStopConstruction) {
  ConditioningConfig denoised;
  denoised.denoise_model_path = "model.onnx";
  EXPECT_FALSE(Chain::create(format(1, 1, 16000, 16000), denoised).ok());
  ConditioningConfig echoed;
  echoed.echo = EchoConfig{};
  EXPECT_EQ(Chain::create(format(1, 1, 16000, 16000), echoed).error().kind(),
            ErrorKind::AecConfigInvalid);
  StageFactories failing;
  failing.denoiser = [](const ConditioningConfig&, uint16_t, uint32_t)
      -> Result<std::unique_ptr<Stage>, CoreError> {
    return CoreError(ErrorKind::ModelLoadFailed, std::filesystem::path("m.onnx"), "missing");
  };
  EXPECT_EQ(Chain::create(format(1, 1, 16000, 16000), denoised, failing).error().kind(),
            ErrorKind::ModelLoadFailed);
}

}  // namespace
}  // namespace murello
