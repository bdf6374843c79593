#include "vad/score.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "vad/queue.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

namespace fs = std::filesystem;
using testing::test_models;

std::vector<float> constant(size_t n, float value) { return std::vector<float>(n, value); }

TEST(EnergyScore, IsTheRootMeanSquare) {
  EXPECT_EQ(energy_score(constant(1600, 0.5f)), 0.5f);
  EXPECT_EQ(energy_score({}), 0.0f);
  const std::vector<float> three_four{3.0f, -4.0f};
  EXPECT_EQ(energy_score(three_four), static_cast<float>(std::sqrt(12.5)));
  // Float squares of 1e20 would overflow; the double sum does not.
  EXPECT_EQ(energy_score(constant(4, 1e20f)), 1e20f);
}

TEST(DetectorMono, PicksAChannelAveragesOrCopies) {
  const std::vector<float> stereo{1.0f, 0.0f, 0.25f, 0.75f, 9.0f};  // trailing half frame
  std::vector<float> out;
  append_detector_mono(stereo, 2, std::nullopt, out);
  EXPECT_EQ(out, (std::vector<float>{0.5f, 0.5f}));
  out.clear();
  append_detector_mono(stereo, 2, uint16_t{1}, out);
  EXPECT_EQ(out, (std::vector<float>{0.0f, 0.75f}));
  append_detector_mono(std::vector<float>{0.1f, 0.2f}, 1, std::nullopt, out);
  EXPECT_EQ(out, (std::vector<float>{0.0f, 0.75f, 0.1f, 0.2f}));
}

TEST(ModelDetectorCreate, ChecksRateThenThresholdBeforeLoading) {
  const fs::path nowhere = "/nonexistent/model.onnx";
  auto rate = ModelDetector::create(nowhere, std::nullopt, 44100, 7.0f);
  ASSERT_FALSE(rate);
  EXPECT_EQ(rate.error().kind(), ErrorKind::VadSampleRateUnsupported);
  for (float threshold : {-0.01f, 1.01f, NAN}) {
    auto refused = ModelDetector::create(nowhere, std::nullopt, 16000, threshold);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), ErrorKind::VadThresholdOutOfRange);
  }
}

TEST(ModelDetectorCreate, UnreadableModelIsAVadModelLoadFailure) {
  MURELLO_REQUIRE_RUNTIME();
  auto missing = ModelDetector::create("/nonexistent/model.onnx", std::nullopt, 16000, 0.5f);
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().message().starts_with(
      "Failed to load Silero VAD model from /nonexistent/model.onnx: "));
}

ModelDetector probe(uint32_t rate_hz = 16000, float threshold = 0.5f) {
  // vad_mean.onnx reports the mean of its whole input: context and window.
  auto detector =
      ModelDetector::create(*test_models() / "vad_mean.onnx", std::nullopt, rate_hz, threshold);
  EXPECT_TRUE(detector) << detector.error().message();
  return std::move(detector).value();
}

TEST(ModelDetectorStep, SamplesWaitForAWholeWindowWhichStartsWithZeroContext) {
  MURELLO_REQUIRE_TEST_MODELS();
  ModelDetector detector = probe();
  auto first = detector.step(constant(320, 0.9f));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->probability, 0.0f);
  EXPECT_FALSE(first->is_speech);
  EXPECT_EQ(detector.pending(), 320u);

  auto second = detector.step(constant(320, 0.9f));
  ASSERT_TRUE(second);
  EXPECT_NEAR(second->probability, 0.9f * 512 / 576, 1e-6);  // 64 zeros of context
  EXPECT_TRUE(second->is_speech);
  EXPECT_EQ(detector.pending(), 128u);

  auto third = detector.step(constant(384, 0.9f));
  ASSERT_TRUE(third);
  EXPECT_NEAR(third->probability, 0.9f, 1e-6);  // context now from the previous window
}

TEST(ModelDetectorStep, ReportsTheBestOfTheWindowsItCompletes) {
  MURELLO_REQUIRE_TEST_MODELS();
  ModelDetector detector = probe();
  std::vector<float> block;
  for (float level : {0.2f, 0.7f, 0.4f}) block.insert(block.end(), 512, level);
  auto score = detector.step(block);
  ASSERT_TRUE(score);
  // Window means: 0.2*512/576, (0.2*64 + 0.7*512)/576, (0.7*64 + 0.4*512)/576.
  EXPECT_NEAR(score->probability, (0.2f * 64 + 0.7f * 512) / 576, 1e-6);
  EXPECT_TRUE(score->is_speech);
}

TEST(ModelDetectorStep, ZeroThresholdMakesEveryCompletedWindowSpeech) {
  MURELLO_REQUIRE_TEST_MODELS();
  ModelDetector detector = probe(16000, 0.0f);
  auto score = detector.step(constant(512, 0.0f));
  ASSERT_TRUE(score);
  EXPECT_EQ(score->probability, 0.0f);
  EXPECT_TRUE(score->is_speech);
  auto none = detector.step(constant(10, 0.0f));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->is_speech);  // no window completed: the last window's score stands
}

TEST(ModelDetectorStep, AStepWithoutAWholeWindowRepeatsTheLatestScore) {
  MURELLO_REQUIRE_TEST_MODELS();
  ModelDetector detector = probe();
  // 320-sample reads: windows complete on the 2nd, 4th, 5th and 7th read only.
  std::vector<float> probabilities;
  std::vector<bool> speech;
  for (float level : {0.9f, 0.9f, 0.9f, 0.9f, 0.9f, 0.1f, 0.1f}) {
    auto score = detector.step(constant(320, level));
    ASSERT_TRUE(score);
    probabilities.push_back(score->probability);
    speech.push_back(score->is_speech);
  }
  EXPECT_EQ(probabilities[0], 0.0f);  // before the first window
  EXPECT_FALSE(speech[0]);
  EXPECT_NEAR(probabilities[1], 0.9f * 512 / 576, 1e-6);
  EXPECT_EQ(probabilities[2], probabilities[1]);
  EXPECT_TRUE(speech[2]);
  EXPECT_NEAR(probabilities[4], 0.9f, 1e-6);
  EXPECT_EQ(probabilities[5], probabilities[4]);  // 0.1 not yet in a whole window
  EXPECT_TRUE(speech[5]);
  EXPECT_LT(probabilities[6], 0.5f);  // the window holding the quieter samples
  EXPECT_FALSE(speech[6]);
}

TEST(ModelDetectorStep, EightKilohertzUsesWindowsOf256WithContextOf32) {
  MURELLO_REQUIRE_TEST_MODELS();
  ModelDetector detector = probe(8000);
  EXPECT_EQ(detector.window(), 256u);
  EXPECT_EQ(detector.context_length(), 32u);
  auto score = detector.step(constant(256, 1.0f));
  ASSERT_TRUE(score);
  EXPECT_NEAR(score->probability, 256.0f / 288, 1e-6);
}

TEST(ModelDetectorStep, MalformedOutputsAreBackendErrors) {
  MURELLO_REQUIRE_TEST_MODELS();
  const std::string prefix = "ONNX backend error from ort: Silero output ";
  const std::pair<const char*, std::string> cases[] = {
      {"vad_no_output.onnx", "`output` missing from session run"},
      {"vad_int_output.onnx", "`output` must be f32"},
      {"vad_empty_output.onnx", "`output` tensor is empty"},
      {"vad_no_state.onnx", "`stateN` missing from session run"},
      {"vad_int_state.onnx", "`stateN` must be f32"},
      {"vad_short_state.onnx", "`stateN` has 128 elements, expected 256"},
  };
  for (const auto& [model, text] : cases) {
    auto detector = ModelDetector::create(*test_models() / model, std::nullopt, 16000, 0.5f);
    ASSERT_TRUE(detector) << model;
    auto score = detector->step(constant(700, 0.1f));
    ASSERT_FALSE(score) << model;
    EXPECT_EQ(score.error().kind(), ErrorKind::OnnxBackendFailed) << model;
    EXPECT_EQ(score.error().message(), prefix + text) << model;
    EXPECT_EQ(detector->pending(), 188u) << model;  // the failing window was taken
  }
}

TEST(ModelDetectorStep, ForkedChildsStepFailsWithBothProcessIds) {
  MURELLO_REQUIRE_TEST_MODELS();
  ModelDetector detector = probe();
  const pid_t parent = getpid();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto score = detector.step(constant(512, 0.5f));
    std::string text =
        score ? std::string("ok") : score.error().fields()[0] + " " + score.error().fields()[1];
    (void)!write(fds[1], text.data(), text.size());
    _exit(0);
  }
  close(fds[1]);
  char buffer[256];
  const ssize_t n = read(fds[0], buffer, sizeof buffer);
  close(fds[0]);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(std::string(buffer, std::max<ssize_t>(n, 0)),
            std::to_string(parent) + " " + std::to_string(child));
  EXPECT_TRUE(detector.step(constant(512, 0.5f)));  // the parent carries on
}

// The real network: windows of speech score high, silence and faint noise low.
TEST(ModelDetectorSilero, SpeechScoresHighAndSilenceLow) {
  MURELLO_REQUIRE_SILERO();
  std::vector<float> speech = testing::spoken_16k("The quick brown fox jumps over the lazy dog.");
  if (speech.empty()) MURELLO_MISSING_PREREQUISITE() << "espeak-ng or sox missing";
  auto detector = ModelDetector::create(*testing::silero_model(), std::nullopt, 16000, 0.5f);
  ASSERT_TRUE(detector) << detector.error().message();

  std::vector<float> probabilities;
  auto score_windows = [&](std::span<const float> signal) {
    probabilities.clear();
    for (size_t at = 0; at + 512 <= signal.size(); at += 512) {
      auto score = detector->step(signal.subspan(at, 512));
      EXPECT_TRUE(score);
      probabilities.push_back(score ? score->probability : 0.0f);
    }
  };
  score_windows(constant(16000, 0.0f));
  EXPECT_LT(*std::max_element(probabilities.begin(), probabilities.end()), 0.1f);

  std::vector<float> noise(16000);
  uint32_t seed = 12345;
  for (float& x : noise) {
    seed = seed * 1664525u + 1013904223u;
    x = 0.001f * (static_cast<float>(seed >> 8) / (1 << 24) - 0.5f);
  }
  score_windows(noise);
  EXPECT_LT(*std::max_element(probabilities.begin(), probabilities.end()), 0.2f);

  score_windows(speech);
  const auto speech_windows =
      std::count_if(probabilities.begin(), probabilities.end(), [](float p) { return p > 0.8f; });
  EXPECT_GT(speech_windows, static_cast<long>(probabilities.size() / 2));
}

TEST(DetectorQueue, RateFollowsTheDetectorKind) {
  EXPECT_EQ(detector_rate_hz(DetectorKind::Energy, 44100), 44100u);
  EXPECT_EQ(detector_rate_hz(DetectorKind::Model, 44100), 16000u);
  EXPECT_EQ(detector_rate_hz(DetectorKind::Model, 8000), 8000u);
  EXPECT_EQ(detector_rate_hz(DetectorKind::Model, 16000), 16000u);
  auto energy = DetectorQueue::create(DetectorKind::Energy, 44100);
  ASSERT_TRUE(energy);
  EXPECT_FALSE(energy->resamples());
  auto model = DetectorQueue::create(DetectorKind::Model, 44100);
  ASSERT_TRUE(model);
  EXPECT_TRUE(model->resamples());
  EXPECT_EQ(model->capacity(), 32000u);
}

TEST(DetectorQueue, KeepsTheNewestTwoSeconds) {
  auto queue = DetectorQueue::create(DetectorKind::Energy, 1000);
  ASSERT_TRUE(queue);
  std::vector<float> ramp(2600);
  std::iota(ramp.begin(), ramp.end(), 0.0f);
  // Pieces of uneven size so the ring wraps at varying points.
  for (size_t at = 0, piece = 1; at < ramp.size(); at += piece, piece = piece * 3 % 701 + 1) {
    const size_t n = std::min(piece, ramp.size() - at);
    ASSERT_TRUE(queue->push(std::span<const float>(ramp).subspan(at, n)));
    EXPECT_LE(queue->size(), 2000u);
  }
  std::vector<float> out{-1.0f};
  queue->drain(out);
  ASSERT_EQ(out.size(), 2001u);
  EXPECT_EQ(out[0], -1.0f);
  EXPECT_TRUE(std::equal(out.begin() + 1, out.end(), ramp.begin() + 600));
  EXPECT_EQ(queue->size(), 0u);

  ASSERT_TRUE(queue->push(std::span<const float>(ramp).first(5000 % 2600)));  // larger than 2 s
  out.clear();
  queue->drain(out);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), ramp.begin() + 400));
}

TEST(DetectorQueue, ResamplesFortyFourKilohertzToSixteen) {
  auto queue = DetectorQueue::create(DetectorKind::Model, 44100);
  ASSERT_TRUE(queue);
  std::vector<float> tone(44100);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.5f * std::sin(2 * M_PI * 440 * i / 44100.0);
  ASSERT_TRUE(queue->push(tone));
  const size_t before_flush = queue->size();
  queue->flush();
  // One second of signal plus the filter's ramp-in and ramp-out.
  EXPECT_GE(queue->size(), 16000u);
  EXPECT_LE(queue->size(), 16400u);
  EXPECT_GT(queue->size(), before_flush);
  std::vector<float> out;
  queue->drain(out);
  // Away from the edges the tone keeps its level.
  EXPECT_NEAR(energy_score(std::span<const float>(out).subspan(2000, 12000)),
              0.5f / std::sqrt(2.0f), 0.01f);
  auto after = queue->push(tone);
  ASSERT_FALSE(after);
  EXPECT_EQ(after.error().kind(), ErrorKind::ResampleAfterFlush);
}

}  // namespace
}  // namespace murello
