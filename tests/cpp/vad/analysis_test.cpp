#include "vad/analysis.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <utility>

#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::test_models;

// Windows of 0.032 s from a pattern: 'S' speech, '.' not.
std::vector<AnalysisWindow> windows_of(std::string_view pattern) {
  std::vector<AnalysisWindow> windows;
  for (size_t k = 0; k < pattern.size(); ++k) {
    const bool speech = pattern[k] == 'S';
    windows.push_back({k * 0.032, (k + 1) * 0.032, speech ? 0.9f : 0.1f, speech});
  }
  return windows;
}

struct Span {
  size_t first;  // window index of the segment's start
  size_t last;   // window index of its end
};

void expect_segments(const std::vector<SpeechSegment>& got, std::initializer_list<Span> want) {
  ASSERT_EQ(got.size(), want.size());
  size_t i = 0;
  for (const Span& span : want) {
    EXPECT_DOUBLE_EQ(got[i].start_s, span.first * 0.032) << i;
    EXPECT_DOUBLE_EQ(got[i].end_s, (span.last + 1) * 0.032) << i;
    ++i;
  }
}

std::vector<SpeechSegment> merged(std::string_view pattern, uint32_t holdoff_ms) {
  return merge_speech_segments(windows_of(pattern), 512, 16000, holdoff_ms);
}

TEST(MergeSpeechSegments, HoldoffBridgesUpToItsLengthOfNonSpeech) {
  // 9 windows (0.288 s) of non-speech merge at 300 ms; 10 (0.32 s) split.
  expect_segments(merged("SS.........SS", 300), {{0, 12}});
  expect_segments(merged("SS..........SS", 300), {{0, 1}, {12, 13}});
  expect_segments(merged("..S.........S..........S.", 300), {{2, 12}, {23, 23}});
}

TEST(MergeSpeechSegments, ZeroHoldoffMergesOnlyAdjacentWindows) {
  expect_segments(merged("SSS.SS", 0), {{0, 2}, {4, 5}});
  expect_segments(merged("S.S", 0), {{0, 0}, {2, 2}});
  EXPECT_TRUE(merged(".....", 300).empty());
  EXPECT_TRUE(merge_speech_segments({}, 512, 16000, 300).empty());
}

// A gap of exactly the hold-off merges wherever the windows lie, at both detector rates;
// one window more splits.
TEST(MergeSpeechSegments, AGapOfExactlyTheHoldoffMergesAnywhere) {
  for (const auto& [frames, rate_hz] : {std::pair{512u, 16000u}, std::pair{256u, 8000u}}) {
    for (uint32_t gap = 0; gap <= 20; ++gap) {
      for (size_t first = 0; first < 60; ++first) {
        for (const uint32_t extra : {0u, 1u}) {
          std::string pattern(first, '.');
          pattern += 'S';
          pattern += std::string(gap + extra, '.');
          pattern += 'S';
          const auto segments =
              merge_speech_segments(windows_of(pattern), frames, rate_hz, gap * 32);
          ASSERT_EQ(segments.size(), extra + 1)
              << "gap " << gap << " + " << extra << " windows after window " << first;
        }
      }
    }
  }
}

DetectorConfig probe_config(uint32_t rate_hz, uint32_t holdoff_ms = 300) {
  DetectorConfig config;
  config.kind = DetectorKind::Model;
  config.model_path = *test_models() / "vad_mean.onnx";
  config.delivered_rate_hz = rate_hz;
  config.threshold = 0.5f;
  config.holdoff_ms = holdoff_ms;
  return config;
}

TEST(Analyzer, OneSecondAtSixteenKilohertzGivesThirtyOneWindows) {
  MURELLO_REQUIRE_TEST_MODELS();
  auto analyzer = Analyzer::create(probe_config(16000));
  ASSERT_TRUE(analyzer) << analyzer.error().message();
  const std::vector<float> second(16000, 0.75f);
  // Blocks of 1600 frames, as a file source delivers them.
  for (size_t at = 0; at < second.size(); at += 1600) {
    ASSERT_TRUE(analyzer->add(std::span<const float>(second).subspan(at, 1600), 1));
  }
  auto analysis = analyzer->finish();
  ASSERT_TRUE(analysis);
  ASSERT_EQ(analysis->windows.size(), 31u);  // the last 128 samples are dropped
  for (size_t k = 0; k < 31; ++k) {
    const AnalysisWindow& w = analysis->windows[k];
    EXPECT_DOUBLE_EQ(w.start_s, k * 0.032);
    EXPECT_DOUBLE_EQ(w.end_s, (k + 1) * 0.032);
    EXPECT_NEAR(w.probability, k == 0 ? 0.75f * 512 / 576 : 0.75f, 1e-6);
    EXPECT_TRUE(w.is_speech);
  }
  expect_segments(analysis->segments, {{0, 30}});
}

TEST(Analyzer, HearsTheConfiguredDetectorChannel) {
  MURELLO_REQUIRE_TEST_MODELS();
  DetectorConfig config = probe_config(8000);
  config.detector_source = 1;
  auto analyzer = Analyzer::create(config);
  ASSERT_TRUE(analyzer);
  std::vector<float> stereo(2 * 1600);
  for (size_t f = 0; f < 1600; ++f) stereo[2 * f] = 1.0f;  // channel 1 silent
  ASSERT_TRUE(analyzer->add(stereo, 2));
  auto analysis = analyzer->finish();
  ASSERT_TRUE(analysis);
  ASSERT_EQ(analysis->windows.size(), 6u);  // 1600 / 256
  for (const AnalysisWindow& w : analysis->windows) EXPECT_EQ(w.probability, 0.0f);
  EXPECT_TRUE(analysis->segments.empty());
}

TEST(Analyzer, FortyFourKilohertzRunsTheDetectorAtSixteenBehindAResampler) {
  MURELLO_REQUIRE_TEST_MODELS();
  auto analyzer = Analyzer::create(probe_config(44100));
  ASSERT_TRUE(analyzer);
  EXPECT_EQ(analyzer->rate_hz(), 16000u);
  const std::vector<float> second(44100, 0.75f);
  for (size_t at = 0; at < second.size(); at += 1600) {
    const size_t n = std::min<size_t>(1600, second.size() - at);
    ASSERT_TRUE(analyzer->add(std::span<const float>(second).subspan(at, n), 1));
  }
  auto analysis = analyzer->finish();
  ASSERT_TRUE(analysis);
  // One second at 16 kHz plus the resampler's ramps: 31 or 32 windows of 0.032 s.
  ASSERT_GE(analysis->windows.size(), 31u);
  ASSERT_LE(analysis->windows.size(), 32u);
  EXPECT_DOUBLE_EQ(analysis->windows[10].end_s - analysis->windows[10].start_s, 0.032);
  EXPECT_NEAR(analysis->windows[10].probability, 0.75f, 1e-3);
}

TEST(Analyzer, ThresholdAndRateAreCheckedAtCreation) {
  MURELLO_REQUIRE_TEST_MODELS();
  DetectorConfig config = probe_config(16000);
  config.threshold = 1.5f;
  auto refused = Analyzer::create(config);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind(), ErrorKind::VadThresholdOutOfRange);
}

// The real network on speech between silences: the segments lie inside the speech.
TEST(AnalyzerSilero, FindsTheSpokenSegmentBetweenSilences) {
  MURELLO_REQUIRE_SILERO();
  std::vector<float> speech = testing::spoken_16k("Hello, this is a voice activity test.");
  if (speech.empty()) MURELLO_MISSING_PREREQUISITE() << "espeak-ng or sox missing";
  std::vector<float> recording(16000, 0.0f);
  recording.insert(recording.end(), speech.begin(), speech.end());
  recording.insert(recording.end(), 16000, 0.0f);
  const double speech_start = 1.0;
  const double speech_end = 1.0 + speech.size() / 16000.0;

  DetectorConfig config;
  config.kind = DetectorKind::Model;
  config.model_path = *testing::silero_model();
  config.delivered_rate_hz = 16000;
  config.holdoff_ms = 300;
  auto analyzer = Analyzer::create(config);
  ASSERT_TRUE(analyzer) << analyzer.error().message();
  for (size_t at = 0; at < recording.size(); at += 1600) {
    const size_t n = std::min<size_t>(1600, recording.size() - at);
    ASSERT_TRUE(analyzer->add(std::span<const float>(recording).subspan(at, n), 1));
  }
  auto analysis = analyzer->finish();
  ASSERT_TRUE(analysis) << analysis.error().message();
  EXPECT_EQ(analysis->windows.size(), recording.size() / 512);
  ASSERT_FALSE(analysis->segments.empty());
  double covered = 0;
  for (const SpeechSegment& segment : analysis->segments) {
    EXPECT_GT(segment.start_s, speech_start - 0.15);
    EXPECT_LT(segment.end_s, speech_end + 0.4);
    covered += segment.end_s - segment.start_s;
  }
  EXPECT_GT(covered, 0.6 * (speech_end - speech_start));
}

}  // namespace
}  // namespace murello
