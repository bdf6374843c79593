#include "files/file.hpp"

#include <cmath>
#include <limits>

#include "files/file_fixtures.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::channel_levels;
using testing::drain;
using testing::outcome;
using testing::TempDir;
using testing::test_models;
using testing::tone;
using testing::write_float_wav;

struct SelectionCase {
  uint16_t channels;
  std::optional<std::vector<uint16_t>> map;
  std::string expected;
  std::vector<float> first_frame;  // when accepted
};

class SixChannelFile : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(SixChannelFile, DeliversTheRequestedChannelsOrRefuses) {
  TempDir dir;
  const auto path = dir.path() / "six.wav";
  write_float_wav(path, channel_levels(4000, 6), 16000, 6);
  SourceConfig config;
  config.channels = GetParam().channels;
  config.channel_map = GetParam().map;
  auto source = FileSource::open(path, config);
  ASSERT_EQ(outcome(source), GetParam().expected);
  if (!source) return;
  const auto drained = drain(**source);
  const std::vector<float>& want = GetParam().first_frame;
  ASSERT_EQ(drained.channels, want.size());
  ASSERT_EQ(drained.samples.size(), 4000 * want.size());
  for (size_t c = 0; c < want.size(); ++c) EXPECT_FLOAT_EQ(drained.samples[c], want[c]);
}

INSTANTIATE_TEST_SUITE_P(
    Selection, SixChannelFile,
    ::testing::Values(SelectionCase{2, std::nullopt, "FileChannelSelectionAmbiguous", {}},
                      SelectionCase{1, std::nullopt, "ok", {0.35f}},
                      SelectionCase{8, std::nullopt, "FileChannelsUnsupported", {}},
                      SelectionCase{6, std::nullopt, "ok", {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f}},
                      SelectionCase{2, std::vector<uint16_t>{5, 0}, "ok", {0.6f, 0.1f}},
                      SelectionCase{2, std::vector<uint16_t>{0, 6}, "FileChannelMapOutOfRange",
                                    {}}));

TEST(FileSourceBuffer, ChecksRateThenChannelsThenWholeFrames) {
  SourceConfig config;
  EXPECT_EQ(outcome(FileSource::buffer({0.0f}, 999, 0, config)), "SampleRateOutOfRange");
  EXPECT_EQ(outcome(FileSource::buffer({0.0f}, 384001, 1, config)), "SampleRateOutOfRange");
  EXPECT_EQ(outcome(FileSource::buffer({0.0f}, 16000, 0, config)), "ChannelsOutOfRange");
  auto partial = FileSource::buffer(std::vector<float>(5), 16000, 2, config);
  ASSERT_FALSE(partial);
  EXPECT_EQ(partial.error().message(),
            "the requested block size of 5 samples is not a whole number of 2-channel frames");
  // Configuration checks run against the buffer's channel count once it is accepted.
  config.agc = -41;
  EXPECT_EQ(outcome(FileSource::buffer(std::vector<float>(4), 16000, 2, config)),
            "AgcTargetOutOfRange");
}

TEST(FileSourceBuffer, MonoAtTheTargetRateIsDeliveredUntouchedWhateverItsLength) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> samples{0.25f, nan, 1.5f, -2.0f, 0.0f};
  auto source = FileSource::buffer(samples, 16000, 1, SourceConfig{});
  ASSERT_TRUE(source);
  const auto drained = drain(**source);
  ASSERT_EQ(drained.samples.size(), samples.size());
  EXPECT_TRUE(std::isnan(drained.samples[1]));
  EXPECT_EQ(drained.samples[2], 1.5f);
  EXPECT_EQ(drained.samples[3], -2.0f);
}

TEST(FileSourceOpen, ReportsReadAndDecodeFailuresWithTheirText) {
  TempDir dir;
  auto missing = FileSource::open(dir.path() / "missing.wav", SourceConfig{});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "Failed to read audio file " +
                                           (dir.path() / "missing.wav").string() +
                                           ": No such file or directory (os error 2)");
  EXPECT_EQ(outcome(FileSource::open(dir.path(), SourceConfig{})), "FileReadFailed");

  testing::write_bytes(dir.path() / "junk.wav", std::vector<uint8_t>(64, 'j'));
  auto junk = FileSource::open(dir.path() / "junk.wav", SourceConfig{});
  ASSERT_FALSE(junk);
  EXPECT_EQ(junk.error().message(),
            "unsupported audio format: unrecognised container, leading bytes were 'jjjj'");

  std::vector<uint8_t> bytes;
  ASSERT_TRUE(write_wav({16000, 1, WavSampleFormat::Pcm16, false, false},
                        std::vector<float>(100), bytes));
  bytes.resize(bytes.size() - 10);
  testing::write_bytes(dir.path() / "cut.wav", bytes);
  auto cut = FileSource::open(dir.path() / "cut.wav", SourceConfig{});
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().name(), "AudioFileTruncated");
  EXPECT_EQ(cut.error().message().rfind("truncated audio file: input ended early: ", 0), 0u);
}

TEST(FileSourceOpen, RefusesAHeaderRateOutsideTheRangeAfterDecoding) {
  TempDir dir;
  write_float_wav(dir.path() / "slow.wav", std::vector<float>(500, 0.1f), 500, 1);
  EXPECT_EQ(outcome(FileSource::open(dir.path() / "slow.wav", SourceConfig{})),
            "SampleRateOutOfRange");
}

TEST(FileSourceRead, PumpsFixedStepsThenTheTailAndThenNothing) {
  // 3200 frames at the target rate need no chain: two full steps, no empty third chunk.
  auto exact = FileSource::buffer(tone(3200, 2, 16000), 16000, 2, [] {
    SourceConfig config;
    config.channels = 2;
    return config;
  }());
  ASSERT_TRUE(exact);
  auto drained = drain(**exact);
  EXPECT_EQ(drained.chunk_samples, (std::vector<size_t>{3200, 3200}));
  auto after = (*exact)->read();
  ASSERT_TRUE(after);
  EXPECT_FALSE(after->has_value());

  // Resampled 3:1, the tail of the resamplers comes out in a last chunk.
  auto resampled = FileSource::buffer(tone(48000, 2, 48000), 48000, 2, [] {
    SourceConfig config;
    config.channels = 2;
    return config;
  }());
  ASSERT_TRUE(resampled);
  EXPECT_EQ((*resampled)->input_rate_hz(), 48000u);
  EXPECT_EQ((*resampled)->sample_rate_hz(), 16000u);
  drained = drain(**resampled);
  EXPECT_EQ(drained.channels, 2);
  EXPECT_EQ(drained.chunk_samples.size(), 31u);  // 30 steps of 1600 frames, then the tail
  for (size_t n : drained.chunk_samples) EXPECT_EQ(n % 2, 0u);
  // The stream is delayed, not shortened: at least a second of output comes out.
  EXPECT_GE(drained.samples.size(), 2u * 16000);
}

TEST(FileSourceRead, EnergyScoreHearsTheSignalBeforeConditioning) {
  SourceConfig config;
  config.vad = true;
  config.vad_mode = "energy";
  auto plain = FileSource::buffer(std::vector<float>(8000, 0.5f), 16000, 1, config);
  ASSERT_TRUE(plain);
  EXPECT_EQ((*plain)->vad_probability(), 0.0f);
  ASSERT_TRUE((*plain)->read());
  EXPECT_FLOAT_EQ((*plain)->vad_probability(), 0.5f);

  // The high-pass removes the constant from the delivered signal, not from the score.
  config.highpass = 80;
  auto filtered = FileSource::buffer(std::vector<float>(64000, 0.5f), 16000, 1, config);
  ASSERT_TRUE(filtered);
  for (int i = 0; i < 30; ++i) ASSERT_TRUE((*filtered)->read());
  EXPECT_FLOAT_EQ((*filtered)->vad_probability(), 0.5f);

  // Stereo: the detector source picks its channel out of every frame.
  config.highpass.reset();
  config.channels = 2;
  config.detector_source = 1;
  auto stereo = FileSource::buffer(channel_levels(8000, 2), 16000, 2, config);
  ASSERT_TRUE(stereo);
  ASSERT_TRUE((*stereo)->read());
  EXPECT_FLOAT_EQ((*stereo)->vad_probability(), 0.2f);
}

SourceConfig model_config(uint32_t rate_hz, const std::string& model = "vad_mean.onnx") {
  SourceConfig config;
  config.sample_rate = rate_hz;
  config.vad = true;
  config.model_path = *test_models() / model;
  return config;
}

TEST(FileSourceRead, ModelScoreIsTheBestWindowOfTheReadAtAnyDeliveredRate) {
  MURELLO_REQUIRE_TEST_MODELS();
  // The probe model scores a window by the mean of its context and samples.
  for (uint32_t rate_hz : {16000u, 8000u, 44100u}) {
    auto source = FileSource::buffer(std::vector<float>(rate_hz, 0.75f), rate_hz, 1,
                                     model_config(rate_hz));
    ASSERT_TRUE(source) << source.error().message();
    // Past the resampler's ramp-in, every window hears the constant.
    for (int i = 0; i < 4; ++i) ASSERT_TRUE((*source)->read());
    EXPECT_NEAR((*source)->vad_probability(), 0.75f, 1e-3) << rate_hz;
  }
}

TEST(FileSourceRead, ModelLoadFailureIsReportedByTheFirstRead) {
  MURELLO_REQUIRE_TEST_MODELS();
  auto source = FileSource::buffer(std::vector<float>(16000, 0.5f), 16000, 1,
                                   model_config(16000, "absent.onnx"));
  ASSERT_TRUE(source);
  EXPECT_EQ(outcome((*source)->read()), "VadModelLoadFailed");
}

TEST(FileSourceBuild, DenoiserIsBuiltFromItsModelWhenTheSourceIs) {
  MURELLO_REQUIRE_TEST_MODELS();
  SourceConfig config;
  config.denoise = "fastenhancer-t";
  config.denoise_model_path = *test_models() / "absent.onnx";
  EXPECT_EQ(outcome(FileSource::buffer(std::vector<float>(2048, 0.1f), 16000, 1, config)),
            "ModelLoadFailed");
  config.denoise_model_path = *test_models() / "denoiser.onnx";
  auto source = FileSource::buffer(std::vector<float>(2048, 0.1f), 16000, 1, config);
  ASSERT_TRUE(source) << source.error().message();
  const auto drained = drain(**source);
  // The denoiser delays the signal by 256 samples; the probe model passes its frame.
  ASSERT_GE(drained.samples.size(), 2048u);
  EXPECT_EQ(drained.samples[255], 0.0f);
  EXPECT_NE(drained.samples[256], 0.0f);
}

TEST(FileSourceAnalyze, RefusesAfterAReadAndWithoutTheModelDetector) {
  SourceConfig energy;
  energy.vad = true;
  energy.vad_mode = "energy";
  auto source = FileSource::buffer(std::vector<float>(16000), 16000, 1, energy);
  ASSERT_TRUE(source);
  EXPECT_FALSE((*source)->can_analyze());
  EXPECT_EQ(outcome((*source)->analyze()), "VadNotConfigured");
  ASSERT_TRUE((*source)->read());
  EXPECT_EQ(outcome((*source)->analyze()), "FileEngaged");
  EXPECT_EQ(outcome((*source)->save("unused.wav", Container::Wav, 5)), "FileEngaged");
}

TEST(FileSourceAnalyze, WindowsTheStructuralSignalWhateverTheConditioning) {
  MURELLO_REQUIRE_TEST_MODELS();
  std::vector<float> samples(16000, 0.0f);
  std::fill(samples.begin() + 4096, samples.begin() + 8192, 0.9f);  // windows 8 ... 15
  SourceConfig config = model_config(16000);
  config.vad_holdoff = 0;
  auto plain = FileSource::buffer(samples, 16000, 1, config);
  config.highpass = 100;
  config.agc = -20;
  auto conditioned = FileSource::buffer(samples, 16000, 1, config);
  ASSERT_TRUE(plain && conditioned);
  ASSERT_TRUE((*plain)->can_analyze());
  auto a = (*plain)->analyze();
  auto b = (*conditioned)->analyze();
  ASSERT_TRUE(a && b) << (a ? b.error().message() : a.error().message());
  ASSERT_EQ(a->windows.size(), 31u);
  ASSERT_EQ(b->windows.size(), 31u);
  for (size_t k = 0; k < 31; ++k) EXPECT_EQ(a->windows[k].probability, b->windows[k].probability);
  ASSERT_EQ(a->segments.size(), 1u);
  EXPECT_DOUBLE_EQ(a->segments[0].start_s, 8 * 0.032);
  // Window 16 hears speech only in its 64 context samples: a mean of 0.1, not speech.
  EXPECT_DOUBLE_EQ(a->segments[0].end_s, 16 * 0.032);
  EXPECT_EQ(outcome((*plain)->analyze()), "FileConsumed");
  EXPECT_EQ(outcome((*plain)->read()), "FileConsumed");
}

}  // namespace
}  // namespace murello
