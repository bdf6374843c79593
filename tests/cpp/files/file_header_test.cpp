// Header facts read without decoding: the same facts and the same refusals as decoding.
#include "files/file_header.hpp"

#include <random>
#include <string>

#include "audiofile/aiff/writer.hpp"
#include "audiofile/flac_encoder/encoder.hpp"
#include "audiofile/wav/writer.hpp"
#include "files/file.hpp"
#include "files/file_fixtures.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::channel_levels;
using testing::TempDir;

constexpr size_t kFrames = 1000;
constexpr uint16_t kChannels = 3;

struct Written {
  const char* name;
  std::vector<uint8_t> (*write)();
  const char* container;
  const char* sample_format;
};

void PrintTo(const Written& w, std::ostream* os) { *os << w.name; }

template <WavSampleFormat F, bool kRf64 = false>
std::vector<uint8_t> wav() {
  std::vector<uint8_t> out;
  EXPECT_TRUE(write_wav({22050, kChannels, F, false, kRf64}, channel_levels(kFrames, kChannels),
                        out));
  return out;
}

template <AiffSampleFormat F>
std::vector<uint8_t> aiff() {
  std::vector<uint8_t> out;
  EXPECT_TRUE(write_aiff({22050, kChannels, F}, channel_levels(kFrames, kChannels), out));
  return out;
}

template <uint8_t kBits>
std::vector<uint8_t> flac() {
  std::vector<uint8_t> out;
  EXPECT_TRUE(encode_flac({22050, kChannels, kBits, 5}, channel_levels(kFrames, kChannels), out));
  return out;
}

const Written kWritten[] = {
    {"wav_u8", wav<WavSampleFormat::Pcm8>, "WAV", "8-bit unsigned PCM"},
    {"wav_16", wav<WavSampleFormat::Pcm16>, "WAV", "16-bit PCM"},
    {"wav_24", wav<WavSampleFormat::Pcm24>, "WAV", "24-bit PCM"},
    {"wav_32", wav<WavSampleFormat::Pcm32>, "WAV", "32-bit PCM"},
    {"wav_float", wav<WavSampleFormat::Float32>, "WAV", "32-bit IEEE float"},
    {"wav_double", wav<WavSampleFormat::Float64>, "WAV", "64-bit IEEE float"},
    {"wav_alaw", wav<WavSampleFormat::ALaw>, "WAV", "8-bit A-law"},
    {"wav_ulaw", wav<WavSampleFormat::MuLaw>, "WAV", "8-bit mu-law"},
    {"rf64_16", wav<WavSampleFormat::Pcm16, true>, "RF64", "16-bit PCM"},
    {"aiff_8", aiff<AiffSampleFormat::Signed8>, "AIFF", "8-bit PCM"},
    {"aiff_16", aiff<AiffSampleFormat::Signed16Be>, "AIFF", "16-bit PCM big-endian"},
    {"aiff_24", aiff<AiffSampleFormat::Signed24Be>, "AIFF", "24-bit PCM big-endian"},
    {"aifc_sowt", aiff<AiffSampleFormat::Signed16Le>, "AIFF-C", "16-bit PCM little-endian"},
    {"aifc_raw", aiff<AiffSampleFormat::Unsigned8>, "AIFF-C", "8-bit unsigned PCM"},
    {"aifc_fl32", aiff<AiffSampleFormat::Float32>, "AIFF-C", "32-bit IEEE float big-endian"},
    {"aifc_ulaw", aiff<AiffSampleFormat::MuLaw>, "AIFF-C", "8-bit mu-law"},
    {"flac_16", flac<16>, "FLAC", "16-bit PCM"},
    {"flac_24", flac<24>, "FLAC", "24-bit PCM"},
};

// The kind's name, or "ok".
std::string header_outcome(const std::filesystem::path& path) {
  auto header = read_file_header(path);
  return header ? "ok" : std::string(header.error().name());
}

class FileHeader : public ::testing::TestWithParam<Written> {};

TEST_P(FileHeader, ReportsWhatTheWriterStored) {
  TempDir dir;
  const auto path = dir.path() / "x";
  testing::write_bytes(path, GetParam().write());
  auto header = read_file_header(path);
  ASSERT_TRUE(header) << header.error().message();
  EXPECT_EQ(container_name(header->container), std::string(GetParam().container));
  EXPECT_EQ(header->sample_rate_hz, 22050u);
  EXPECT_EQ(header->channels, kChannels);
  EXPECT_EQ(header->frames, kFrames);
  EXPECT_EQ(sample_format_text(*header), GetParam().sample_format);
}

// Every prefix and many damaged headers: where the header is refused, opening refuses
// with the same kind; WAV and AIFF headers are refused exactly when opening is.
TEST_P(FileHeader, RefusesAsOpenDoes) {
  TempDir dir;
  const auto path = dir.path() / "x";
  const std::vector<uint8_t> file = GetParam().write();
  const bool flac = std::string(GetParam().container) == "FLAC";
  std::mt19937 rng(17);
  for (size_t trial = 0; trial < 300; ++trial) {
    std::vector<uint8_t> damaged = file;
    if (trial < 150) {
      damaged.resize(trial * file.size() / 150);
    } else {
      for (int f = 0; f < 2; ++f) damaged[rng() % std::min<size_t>(80, file.size())] = rng();
    }
    testing::write_bytes(path, damaged);
    const std::string header = header_outcome(path);
    const std::string opened = testing::outcome(FileSource::open(path, SourceConfig{}));
    if (header != "ok" || !flac) {
      // A rate the decoder accepts but opening does not is a header fact, not an error.
      if (opened == "SampleRateOutOfRange" || opened == "FileChannelSelectionAmbiguous" ||
          opened == "FileChannelsUnsupported") {
        EXPECT_EQ(header, "ok") << "trial " << trial;
      } else {
        EXPECT_EQ(header, opened == "ok" ? "ok" : opened) << "trial " << trial;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, FileHeader, ::testing::ValuesIn(kWritten),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FileHeaderRead, MissingFilesAndPipesAreReadLikeOpenReadsThem) {
  TempDir dir;
  auto missing = read_file_header(dir.path() / "missing.wav");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "Failed to read audio file " +
                                           (dir.path() / "missing.wav").string() +
                                           ": No such file or directory (os error 2)");
  EXPECT_EQ(header_outcome(dir.path()), "FileReadFailed");
  testing::write_bytes(dir.path() / "empty.wav", {});
  EXPECT_EQ(header_outcome(dir.path() / "empty.wav"), "AudioFileTruncated");
}

TEST(FileHeaderRead, AFlacStreamWithoutATotalHasNoFrameCount) {
  std::vector<uint8_t> bytes = flac<16>();
  // STREAMINFO's total sample count: the low 36 bits of bytes 18..25 (4 + 4 + 10 in).
  bytes[21] &= 0xF0;
  std::fill(bytes.begin() + 22, bytes.begin() + 26, 0);
  TempDir dir;
  testing::write_bytes(dir.path() / "x.flac", bytes);
  auto header = read_file_header(dir.path() / "x.flac");
  ASSERT_TRUE(header) << header.error().message();
  EXPECT_FALSE(header->frames.has_value());
}

}  // namespace
}  // namespace murello
