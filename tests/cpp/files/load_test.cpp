#include <cmath>
#include <limits>
#include <vector>

#include "files/file.hpp"
#include "files/file_fixtures.hpp"
#include "files/file_stream.hpp"
#include "files/load.hpp"
#include "support/model_fixtures.hpp"
#include "support/ulp.hpp"

namespace murello {
namespace {

using testing::drain;
using testing::outcome;
using testing::TempDir;
using testing::tone;

struct Case {
  const char* name;
  uint16_t input_channels;
  void (*configure)(SourceConfig&);
  bool resampled = false;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ReadAll : public ::testing::TestWithParam<Case> {};

// One call delivers what reads to the end deliver, scores included, and leaves the
// source finished. Its longer steps let the resampler take transform passes, which round
// within a float ulp of the direct sums the reads' short steps take: two ulps apart at most.
TEST_P(ReadAll, DeliversWhatReadsDeliver) {
  const Case& c = GetParam();
  const std::vector<float> input = tone(7 * kPumpFrames + 123, c.input_channels, 48000);
  SourceConfig config;
  config.sample_rate = 48000;
  c.configure(config);
  auto reference = FileSource::buffer(input, 48000, c.input_channels, config);
  auto source = FileSource::buffer(input, 48000, c.input_channels, config);
  ASSERT_TRUE(reference && source);
  const auto read = drain(**reference);
  auto whole = (*source)->read_all();
  ASSERT_TRUE(whole) << whole.error().message();
  if (c.resampled) {
    ASSERT_EQ(whole->samples.size(), read.samples.size());
    for (size_t i = 0; i < read.samples.size(); ++i) {
      ASSERT_TRUE(testing::within_ulps(whole->samples[i], read.samples[i], 2, 2e-9))
          << "sample " << i << ": " << whole->samples[i] << " vs " << read.samples[i];
    }
  } else {
    EXPECT_EQ(whole->samples, read.samples);
  }
  EXPECT_EQ(whole->channels, read.channels);
  EXPECT_EQ((*source)->channels(), (*reference)->channels());
  EXPECT_EQ((*source)->vad_probability(), (*reference)->vad_probability());
  EXPECT_EQ((*source)->stage(), FileStage::Finished);
  auto after = (*source)->read_all();
  ASSERT_TRUE(after);
  EXPECT_TRUE(after->samples.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ReadAll,
    ::testing::Values(
        Case{"mono_without_stages", 1, [](SourceConfig&) {}},
        Case{"stereo_resampled_and_mixed", 2, [](SourceConfig& c) { c.sample_rate = 16000; },
             true},
        Case{"conditioned_with_energy_scores", 2,
             [](SourceConfig& c) {
               c.channels = 2;
               c.highpass = 80;
               c.vad = true;
               c.vad_mode = "energy";
             }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadAll, GoesOnAfterReadsAndRefusesAConsumedSource) {
  const std::vector<float> input = tone(3 * kPumpFrames, 1, 16000);
  auto source = FileSource::buffer(input, 16000, 1, SourceConfig{});
  ASSERT_TRUE(source);
  auto first = (*source)->read();
  ASSERT_TRUE(first && *first);
  auto rest = (*source)->read_all();
  ASSERT_TRUE(rest);
  EXPECT_EQ((*first)->samples.size() + rest->samples.size(), input.size());

  TempDir dir;
  auto saved = FileSource::buffer(input, 16000, 1, SourceConfig{});
  ASSERT_TRUE(saved);
  ASSERT_TRUE((*saved)->save(dir.path() / "out.wav", Container::Wav, 5));
  EXPECT_EQ(outcome((*saved)->read_all()), "FileConsumed");
}

// Without stages, a stereo recording is delivered and saved as a mono one is: as given.
TEST(ReadAll, StereoWithoutStagesIsTheRecordingAsGiven) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> input{0.25f, nan, 1.5f, -0.5f, 0.0f, 1.0f};
  SourceConfig config;
  config.channels = 2;
  auto source = FileSource::buffer(input, 16000, 2, config);
  ASSERT_TRUE(source);
  auto whole = (*source)->read_all();
  ASSERT_TRUE(whole);
  ASSERT_EQ(whole->samples.size(), input.size());
  EXPECT_TRUE(std::isnan(whole->samples[1]));
  EXPECT_EQ(whole->samples[2], 1.5f);

  TempDir dir;
  auto saved = FileSource::buffer(input, 16000, 2, config);
  ASSERT_TRUE(saved);
  auto counts = (*saved)->save(dir.path() / "out.wav", Container::Wav, 5);
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->non_finite, 1u);
  EXPECT_EQ(counts->clipped, 1u);
}

TEST(LoadFile, LeavesRateAndChannelsToTheFileWhenAsked) {
  TempDir dir;
  const auto path = dir.path() / "in.wav";
  testing::write_float_wav(path, testing::channel_levels(500, 3), 22050, 3);

  LoadRequest own;
  own.file_rate = true;
  own.file_channels = true;
  auto whole = load_file(path, own);
  ASSERT_TRUE(whole) << whole.error().message();
  EXPECT_EQ(whole->sample_rate_hz, 22050u);
  EXPECT_EQ(whole->channels, 3);
  EXPECT_EQ(whole->samples, testing::channel_levels(500, 3));

  LoadRequest mapped = own;
  mapped.config.channel_map = std::vector<uint16_t>{2, 0};
  auto picked = load_file(path, mapped);
  ASSERT_TRUE(picked) << picked.error().message();
  EXPECT_EQ(picked->channels, 2);
  EXPECT_FLOAT_EQ(picked->samples[0], 0.3f);
  EXPECT_FLOAT_EQ(picked->samples[1], 0.1f);

  LoadRequest fixed;  // the configuration's 16000 hz mono
  auto mixed = load_file(path, fixed);
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed->sample_rate_hz, 16000u);
  EXPECT_EQ(mixed->channels, 1);

  EXPECT_EQ(outcome(load_file(dir.path() / "missing.wav", own)), "FileReadFailed");
}

// Bytes already read load and stream exactly as the file they came from.
TEST(LoadFile, BytesGivenReadAsTheirFile) {
  TempDir dir;
  const auto path = dir.path() / "in.wav";
  testing::write_float_wav(path, testing::tone(30000, 2, 44100), 44100, 2);
  LoadRequest request;
  request.config.channels = 1;
  for (const auto& [offset, duration] :
       {std::pair<std::optional<double>, std::optional<double>>{},
        {0.1, std::nullopt}, {0.2, 0.3}}) {
    request.offset_s = offset;
    request.duration_s = duration;
    auto from_path = load_file(path, request);
    auto from_bytes = load_file(testing::read_bytes(path), request);
    ASSERT_TRUE(from_path && from_bytes);
    EXPECT_GT(from_path->samples.size(), 0u);
    EXPECT_EQ(from_bytes->samples, from_path->samples);
  }
  StreamRequest streamed;
  streamed.config.channels = 1;
  auto stream = FileStream::open(testing::read_bytes(path), streamed);
  ASSERT_TRUE(stream) << stream.error().message();
  std::vector<float> joined;
  for (;;) {
    auto block = (*stream)->next_block(4096);
    ASSERT_TRUE(block) << block.error().message();
    if (!*block) break;
    joined.insert(joined.end(), (**block).begin(), (**block).end());
  }
  request.offset_s.reset();
  request.duration_s.reset();
  EXPECT_EQ(joined, load_file(path, request)->samples);
  EXPECT_EQ(outcome(load_file(std::vector<uint8_t>{'R', 'I', 'F', 'F'}, request)),
            "AudioFileTruncated");
}

}  // namespace
}  // namespace murello
