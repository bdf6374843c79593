// Reads deliver the whole recording: a step that yields no samples (a decimating
// resampler or the denoiser still filling) never ends the reading early.
#include <string>

#include "audiofile/container.hpp"
#include "files/file.hpp"
#include "files/file_fixtures.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::drain;
using testing::stored16;
using testing::TempDir;
using testing::test_models;
using testing::tone;

struct ReadCase {
  const char* name;
  uint32_t input_rate_hz;
  size_t frames;
  uint16_t channels;
  bool denoise;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ReadToTheEnd : public ::testing::TestWithParam<ReadCase> {};

// What a loop that stops at the first empty read collects is what save() writes.
TEST_P(ReadToTheEnd, CollectsWhatSaveWrites) {
  const ReadCase& c = GetParam();
  SourceConfig config;
  config.channels = c.channels;
  if (c.denoise) {
    MURELLO_REQUIRE_TEST_MODELS();
    config.denoise = "fastenhancer-t";
    config.denoise_model_path = *test_models() / "denoiser.onnx";
  }
  const std::vector<float> input = tone(c.frames, c.channels, c.input_rate_hz);
  auto reader = FileSource::buffer(input, c.input_rate_hz, c.channels, config);
  auto saver = FileSource::buffer(input, c.input_rate_hz, c.channels, config);
  ASSERT_TRUE(reader && saver) << (reader ? saver.error().message() : reader.error().message());
  const auto drained = drain(**reader);
  EXPECT_EQ((*reader)->stage(), FileStage::Finished);

  TempDir dir;
  const auto path = dir.path() / "out.wav";
  ASSERT_TRUE((*saver)->save(path, Container::Wav, 5));
  auto saved = decode_audio(testing::read_bytes(path));
  ASSERT_TRUE(saved);
  ASSERT_EQ(drained.samples.size(), saved->samples.size());
  for (size_t i = 0; i < drained.samples.size(); ++i) {
    ASSERT_EQ(stored16(drained.samples[i]), saved->samples[i]) << "sample " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SilentSteps, ReadToTheEnd,
    ::testing::Values(
        // 1601 frames at 48 kHz: a second step of one frame yields nothing at 16 kHz.
        ReadCase{"decimating_one_frame_over", 48000, 1601, 1, false},
        ReadCase{"decimating_stereo", 44100, 3201, 2, false},
        ReadCase{"decimating_by_six", 96000, 4801, 1, false},
        // The denoiser holds back its first frames: early steps yield nothing.
        ReadCase{"denoiser_short", 16000, 100, 1, true},
        ReadCase{"denoiser_long", 16000, 5000, 1, true},
        ReadCase{"decimating_and_denoiser", 48000, 1601, 1, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadToTheEnd, TheScoreHearsTheSilentStepsToo) {
  // With a conditioning stage the energy detector hears its own copy of the signal, which
  // comes out of the resampler even when the denoiser holds the delivered signal back.
  MURELLO_REQUIRE_TEST_MODELS();
  SourceConfig config;
  config.vad = true;
  config.vad_mode = "energy";
  config.denoise = "fastenhancer-t";
  config.denoise_model_path = *test_models() / "denoiser.onnx";
  auto source = FileSource::buffer(std::vector<float>(100, 0.5f), 16000, 1, config);
  ASSERT_TRUE(source);
  auto chunk = (*source)->read();
  ASSERT_TRUE(chunk);
  ASSERT_TRUE(chunk->has_value());
  EXPECT_GT((*source)->vad_probability(), 0.0f);
}

}  // namespace
}  // namespace murello
