#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "files/file.hpp"
#include "audiofile/container.hpp"
#include "files/file_fixtures.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::drain;
using testing::outcome;
using testing::stored16;
using testing::TempDir;
using testing::tone;

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::string chosen(const std::optional<std::string>& format, std::string_view path) {
  auto container = choose_container(format, std::filesystem::path(path));
  if (!container) return container.error().message();
  switch (*container) {
    case Container::Wav: return "wav";
    case Container::Aiff: return "aiff";
    case Container::Flac: return "flac";
  }
  return "?";
}

TEST(ChooseContainer, ExplicitFormatsAreExactAndExtensionsIgnoreCase) {
  EXPECT_EQ(chosen("flac", "out.wav"), "flac");
  EXPECT_EQ(chosen("WAV", "out.wav"),
            "Invalid format value: WAV. Expected 'wav', 'aiff', or 'flac'.");
  EXPECT_EQ(chosen(std::nullopt, "out.WAV"), "wav");
  EXPECT_EQ(chosen(std::nullopt, "out.AIF"), "aiff");
  EXPECT_EQ(chosen(std::nullopt, "out.aifc"), "aiff");
  EXPECT_EQ(chosen(std::nullopt, "dir/take.2.Flac"), "flac");
  const std::string hint = "; use .wav, .aiff, .aif, .aifc or .flac, or set an explicit format";
  EXPECT_EQ(chosen(std::nullopt, "out"),
            "unsupported audio format: the path has no extension to name a format" + hint);
  // Only the file name's own dot counts.
  EXPECT_EQ(chosen(std::nullopt, "takes.wav/out"),
            "unsupported audio format: the path has no extension to name a format" + hint);
  EXPECT_EQ(chosen(std::nullopt, "out.MP3"),
            "unsupported audio format: the extension '.mp3' does not name a format murello "
            "writes" + hint);
}

TEST(FlacCompression, DefaultsToFiveAndStopsAtEight) {
  EXPECT_EQ(*flac_compression(std::nullopt), 5);
  EXPECT_EQ(*flac_compression(0), 0);
  EXPECT_EQ(*flac_compression(8), 8);
  EXPECT_EQ(outcome(flac_compression(9)), "FlacCompressionOutOfRange");
}

TEST(UnsafeSamples, CountsNonFiniteThenOutOfRange) {
  const std::vector<float> samples{kNan, kInf, -kInf, 1.5f, -1.5f, 1.0f, -1.0f, 0.3f, -kNan,
                                   std::nextafter(1.0f, 2.0f), -0.0f};
  const SaveCounts counts = count_unsafe_samples(samples);
  EXPECT_EQ(counts.non_finite, 4u);
  EXPECT_EQ(counts.clipped, 3u);
}

std::string depth(std::optional<uint32_t> bits, bool is_float, Container container) {
  auto chosen = choose_depth(bits, is_float, container);
  if (!chosen) return chosen.error().message();
  return std::to_string(chosen->bits) + (chosen->is_float ? " float" : " int");
}

TEST(ChooseDepth, EveryContainerTakesIntegersAndOnlyWavAndAiffTakeFloats) {
  EXPECT_EQ(depth(std::nullopt, false, Container::Flac), "16 int");
  EXPECT_EQ(depth(std::nullopt, true, Container::Aiff), "32 float");
  EXPECT_EQ(depth(24, false, Container::Flac), "24 int");
  EXPECT_EQ(depth(32, false, Container::Aiff), "32 int");
  EXPECT_EQ(depth(32, true, Container::Wav), "32 float");
  EXPECT_EQ(depth(8, false, Container::Wav), "bits must be 16, 24 or 32, not 8");
  EXPECT_EQ(depth(4294967295u, false, Container::Wav),
            "bits must be 16, 24 or 32, not 4294967295");
  EXPECT_EQ(depth(24, true, Container::Wav),
            "float samples are stored in 32 bits, not 24; leave bits out or set 32");
  EXPECT_EQ(depth(std::nullopt, true, Container::Flac),
            "FLAC stores integer samples only; write float samples to a WAV or AIFF file");
  EXPECT_EQ(depth(32, false, Container::Flac),
            "FLAC is written at 16 or 24 bits; write 32-bit samples to a WAV or AIFF file");
}

TEST(UnsafeSamples, FloatsLoseOnlyWhatIsNoNumber) {
  std::vector<float> samples{kNan, kInf, -kInf, 1.5f, -2.0f, 0.25f};
  EXPECT_EQ(replace_non_finite(samples), 3u);
  EXPECT_EQ(samples, (std::vector<float>{0.0f, 1.0f, -1.0f, 1.5f, -2.0f, 0.25f}));
}

// Each depth of each container, read back: integers clamped and truncated toward zero at
// their width, floats as they were apart from what is no number.
TEST(SaveDepth, FilesHoldTheSamplesAtTheirDepth) {
  const float step24 = std::ldexp(1.0f, -23);
  const std::vector<float> input{0.5f, 2.5f * step24, -2.5f * step24, 1.5f, -1.5f, kNan,
                                 -kInf, 0.1f};
  struct Case {
    Container container;
    SampleDepth depth;
    std::vector<float> expected;
    SaveCounts counts;
  };
  const float tenth24 = std::trunc(0.1f * 8388608.0f) / 8388608.0f;
  const float tenth32 = std::ldexp(std::trunc(std::ldexp(0.1f, 31)), -31);
  const std::vector<float> at24{0.5f, 2 * step24, -2 * step24, 1 - step24, -1.0f, 0.0f, -1.0f,
                                tenth24};
  const std::vector<float> at32{0.5f, 2.5f * step24, -2.5f * step24, 1.0f, -1.0f, 0.0f, -1.0f,
                                tenth32};
  const std::vector<float> floats{0.5f, 2.5f * step24, -2.5f * step24, 1.5f, -1.5f, 0.0f,
                                  -1.0f, 0.1f};
  const Case cases[] = {
      {Container::Wav, {24, false}, at24, {2, 2}},
      {Container::Aiff, {24, false}, at24, {2, 2}},
      {Container::Flac, {24, false}, at24, {2, 2}},
      {Container::Wav, {32, false}, at32, {2, 2}},
      {Container::Aiff, {32, false}, at32, {2, 2}},
      {Container::Wav, {32, true}, floats, {0, 2}},
      {Container::Aiff, {32, true}, floats, {0, 2}},
  };
  TempDir dir;
  SourceConfig config;
  config.sample_rate = 16000;
  for (const Case& c : cases) {
    const std::string name = std::to_string(int(c.container)) + "-" +
                             std::to_string(c.depth.bits) + (c.depth.is_float ? "f" : "i");
    auto source = FileSource::buffer(input, 16000, 1, config);
    ASSERT_TRUE(source);
    const auto path = dir.path() / name;
    auto counts = (*source)->save(path, c.container, 5, c.depth);
    ASSERT_TRUE(counts) << name << ": " << counts.error().message();
    EXPECT_EQ(counts->clipped, c.counts.clipped) << name;
    EXPECT_EQ(counts->non_finite, c.counts.non_finite) << name;
    auto back = read_audio_file(path);
    ASSERT_TRUE(back) << name << ": " << back.error().message();
    EXPECT_EQ(back->samples, c.expected) << name;
  }
}

struct RoundTrip {
  const char* name;
  uint32_t input_rate_hz;
  uint16_t input_channels;
  void (*configure)(SourceConfig&);
};

void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

const char* kExtensions[] = {"wav", "aiff", "flac"};
const char* kMagic[] = {"RIFF", "FORM", "fLaC"};

class SaveRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

// A saved file opened again delivers what reading the source delivered, as 16-bit values.
TEST_P(SaveRoundTrip, OpenGivesBackTheReadSamplesAtSixteenBits) {
  const RoundTrip& trip = GetParam();
  const std::vector<float> input = tone(trip.input_rate_hz / 2, trip.input_channels,
                                        trip.input_rate_hz);
  SourceConfig config;
  trip.configure(config);
  auto reference = FileSource::buffer(input, trip.input_rate_hz, trip.input_channels, config);
  ASSERT_TRUE(reference) << reference.error().message();
  const auto read = drain(**reference);
  TempDir dir;
  for (int c = 0; c < 3; ++c) {
    auto source = FileSource::buffer(input, trip.input_rate_hz, trip.input_channels, config);
    ASSERT_TRUE(source);
    const auto path = dir.path() / (std::string("out.") + kExtensions[c]);
    auto counts = (*source)->save(path, static_cast<Container>(c), 8);
    ASSERT_TRUE(counts) << counts.error().message();
    EXPECT_EQ(counts->clipped + counts->non_finite, 0u);
    const auto bytes = testing::read_bytes(path);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), kMagic[c]);

    SourceConfig reopen;
    reopen.sample_rate = config.sample_rate;
    reopen.channels = config.channels;
    auto opened = FileSource::open(path, reopen);
    ASSERT_TRUE(opened) << opened.error().message();
    EXPECT_EQ((*opened)->input_rate_hz(), config.sample_rate);
    EXPECT_EQ((*opened)->input_channels(), read.channels);
    const auto back = drain(**opened);
    ASSERT_EQ(back.samples.size(), read.samples.size()) << kExtensions[c];
    for (size_t i = 0; i < back.samples.size(); ++i) {
      ASSERT_EQ(back.samples[i], stored16(read.samples[i])) << kExtensions[c] << " sample " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Options, SaveRoundTrip,
    ::testing::Values(
        RoundTrip{"mono_unchanged", 16000, 1, [](SourceConfig&) {}},
        RoundTrip{"stereo_48k_to_16k", 48000, 2, [](SourceConfig& c) { c.channels = 2; }},
        RoundTrip{"stereo_44k1_to_22k05_mono_conditioned", 44100, 2,
                  [](SourceConfig& c) {
                    c.sample_rate = 22050;
                    c.agc = -20;
                    c.limiter = -1.0f;
                    c.highpass = 80;
                    c.dc_removal = true;
                  }},
        RoundTrip{"three_of_four_channels_mapped", 8000, 4,
                  [](SourceConfig& c) {
                    c.sample_rate = 8000;
                    c.channels = 3;
                    c.channel_map = std::vector<uint16_t>{3, 1, 0};
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

// Samples are not rewritten before encoding: each container must store a raw recording
// exactly as its sanitised form (NaN as 0.0, the rest clamped to +-1.0).
TEST(UnsafeSamples, EveryContainerStoresThemAsSanitised) {
  const std::vector<float> raw{kNan, kInf, -kInf, 1.5f, -1.5f, 1.0f, -1.0f, 0.3f, -kNan, 0.0f};
  std::vector<float> sanitised = raw;
  for (float& x : sanitised) x = std::isnan(x) ? 0.0f : std::clamp(x, -1.0f, 1.0f);
  TempDir dir;
  for (int c = 0; c < 3; ++c) {
    std::vector<uint8_t> files[2];
    for (int clean = 0; clean < 2; ++clean) {
      auto source = FileSource::buffer(clean ? sanitised : raw, 16000, 1, SourceConfig{});
      ASSERT_TRUE(source);
      const auto path = dir.path() / (std::to_string(clean) + "." + kExtensions[c]);
      ASSERT_TRUE((*source)->save(path, static_cast<Container>(c), 5));
      files[clean] = testing::read_bytes(path);
    }
    EXPECT_EQ(files[0], files[1]) << kExtensions[c];
  }
}

TEST(FileSourceSave, CountsANanAndAClippedSample) {
  TempDir dir;
  auto source = FileSource::buffer({0.25f, kNan, 1.5f}, 16000, 1, SourceConfig{});
  ASSERT_TRUE(source);
  const auto path = dir.path() / "out.wav";
  auto counts = (*source)->save(path, Container::Wav, kDefaultFlacCompression);
  ASSERT_TRUE(counts);
  EXPECT_EQ(counts->clipped, 1u);
  EXPECT_EQ(counts->non_finite, 1u);
  auto decoded = decode_audio(testing::read_bytes(path));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->samples, (std::vector<float>{0.25f, 0.0f, 32767.0f / 32768.0f}));
}

TEST(FileSourceSave, AifExtensionInCapitalsWritesPlainAiff) {
  TempDir dir;
  auto source = FileSource::buffer(std::vector<float>(100, 0.1f), 16000, 1, SourceConfig{});
  ASSERT_TRUE(source);
  const auto path = dir.path() / "take.AIF";
  auto container = choose_container(std::nullopt, path);
  ASSERT_TRUE(container);
  ASSERT_TRUE((*source)->save(path, *container, kDefaultFlacCompression));
  const auto bytes = testing::read_bytes(path);
  ASSERT_GE(bytes.size(), 12u);
  EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 12), "AIFF");
}

TEST(FileSourceSave, RefusalsBeforeConsumingLeaveTheSourceReadable) {
  TempDir dir;
  auto source = FileSource::buffer(std::vector<float>(100, 0.1f), 16000, 1, SourceConfig{});
  ASSERT_TRUE(source);
  EXPECT_EQ(outcome((*source)->save(dir.path() / "out.wav", Container::Wav, 9)),
            "FlacCompressionOutOfRange");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "out.wav"));
  EXPECT_EQ(drain(**source).samples.size(), 100u);

  SourceConfig nine;
  nine.channels = 9;
  auto wide = FileSource::buffer(std::vector<float>(900, 0.1f), 16000, 9, nine);
  ASSERT_TRUE(wide);
  auto refused = (*wide)->save(dir.path() / "out.flac", Container::Flac, 5);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "unsupported audio format: 9-channel audio is not a supported layout");
  EXPECT_TRUE((*wide)->save(dir.path() / "out.wav", Container::Wav, 5));
}

TEST(FileSourceSave, WriteFailureNamesThePathAndConsumesTheSource) {
  TempDir dir;
  auto source = FileSource::buffer(std::vector<float>(100, 0.1f), 16000, 1, SourceConfig{});
  ASSERT_TRUE(source);
  const auto path = dir.path() / "missing" / "out.wav";
  auto saved = (*source)->save(path, Container::Wav, kDefaultFlacCompression);
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error().message(), "Failed to write audio file " + path.string() +
                                         ": No such file or directory (os error 2)");
  EXPECT_EQ(outcome((*source)->save(dir.path() / "out.wav", Container::Wav, 5)), "FileConsumed");
  EXPECT_EQ(outcome((*source)->read()), "FileConsumed");
}

TEST(FileSourceSave, AnEmptyRecordingWritesAnEmptyFile) {
  TempDir dir;
  for (int c = 0; c < 3; ++c) {
    SourceConfig config;
    config.sample_rate = 8000;  // a resampling chain with nothing to flush
    auto source = FileSource::buffer({}, 16000, 1, config);
    ASSERT_TRUE(source);
    const auto path = dir.path() / (std::string("empty.") + kExtensions[c]);
    ASSERT_TRUE((*source)->save(path, static_cast<Container>(c), 5));
    auto decoded = decode_audio(testing::read_bytes(path));
    ASSERT_TRUE(decoded) << kExtensions[c] << ": " << decoded.error().display();
    EXPECT_TRUE(decoded->samples.empty());
    EXPECT_EQ(decoded->sample_rate_hz, 8000u);
  }
}

}  // namespace
}  // namespace murello
