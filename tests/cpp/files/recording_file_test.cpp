#include "files/recording_file.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "audiofile/aiff/writer.hpp"
#include "audiofile/container.hpp"
#include "audiofile/flac_encoder/encoder.hpp"
#include "audiofile/wav/writer.hpp"
#include "files/decode_error.hpp"
#include "files/file_fixtures.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::read_bytes;
using testing::TempDir;

constexpr uint32_t kRate = 8000;

struct Layout {
  const char* name;
  Container container;
  uint16_t channels;
};

const Layout kLayouts[] = {
    {"wav mono", Container::Wav, 1},     {"wav stereo", Container::Wav, 2},
    {"aiff mono", Container::Aiff, 1},   {"aiff stereo", Container::Aiff, 2},
    {"flac mono", Container::Flac, 1},   {"flac stereo", Container::Flac, 2},
};

std::vector<float> noise(size_t samples, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> level(-0.9f, 0.9f);
  std::vector<float> out(samples);
  for (float& x : out) x = level(rng);
  return out;
}

// What the one-call writers make of the same samples.
std::vector<uint8_t> whole_file(Container container, uint16_t channels,
                                std::span<const float> samples) {
  std::vector<uint8_t> out;
  switch (container) {
    case Container::Wav:
      EXPECT_TRUE(write_wav({kRate, channels, WavSampleFormat::Pcm16, false, false}, samples, out));
      break;
    case Container::Aiff:
      EXPECT_TRUE(write_aiff({kRate, int16_t(channels), AiffSampleFormat::Signed16Be}, samples,
                             out));
      break;
    case Container::Flac:
      EXPECT_TRUE(encode_flac({kRate, channels, 16, 5}, samples, out));
      break;
  }
  return out;
}

// Appends `samples` in blocks of varying size, as a capture loop hands them over.
void append_in_blocks(RecordingFile& file, std::span<const float> samples, uint16_t channels) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<size_t> frames(0, 700);
  for (size_t at = 0; at < samples.size();) {
    const size_t take = std::min(frames(rng) * channels, samples.size() - at);
    ASSERT_TRUE(file.append(samples.subspan(at, take)));
    at += take;
  }
}

TEST(RecordingFile, AFinishedRecordingIsTheFileTheOneCallWritersMake) {
  TempDir dir;
  for (const Layout& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    const auto path = dir.path() / "take";
    const std::vector<float> samples = noise(size_t(2.7 * kRate) * layout.channels, 1);
    auto file = RecordingFile::create(path, layout.container, kRate, layout.channels, 5);
    ASSERT_TRUE(file);
    append_in_blocks(*file, samples, layout.channels);
    ASSERT_TRUE(file->finish());
    EXPECT_EQ(file->frames(), samples.size() / layout.channels);
    EXPECT_EQ(read_bytes(path), whole_file(layout.container, layout.channels, samples));
  }
}

// A recorder killed between appends leaves what it wrote: WAV and AIFF declare every
// whole second, FLAC declares an unknown total and every frame is whole.
TEST(RecordingFile, AnUnfinishedRecordingReadsAsAllButItsLastSecond) {
  TempDir dir;
  for (const Layout& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    const auto path = dir.path() / "take";
    const std::vector<float> samples = noise(size_t(2.5 * kRate) * layout.channels, 2);
    auto file = RecordingFile::create(path, layout.container, kRate, layout.channels, 5);
    ASSERT_TRUE(file);
    append_in_blocks(*file, samples, layout.channels);
    auto decoded = decode_audio(read_bytes(path));
    ASSERT_TRUE(decoded) << core_error_from_decode(decoded.error()).message();
    const size_t frames = decoded->samples.size() / layout.channels;
    EXPECT_GE(frames, samples.size() / layout.channels - kRate);
    ASSERT_LE(frames, samples.size() / layout.channels);
    const auto expected = decode_audio(whole_file(layout.container, layout.channels, samples));
    EXPECT_TRUE(std::equal(decoded->samples.begin(), decoded->samples.end(),
                           expected->samples.begin()));
  }
}

// A write refused part-way (here a file-size limit) ends the recording: the file keeps
// every frame written whole before it and declares exactly those.
TEST(RecordingFile, AFailedWriteKeepsAValidFileOfWhatWasWritten) {
  TempDir dir;
  constexpr rlim_t kLimit = 20000;
  for (const Layout& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    const auto path = dir.path() / "take";
    const std::vector<float> samples = noise(size_t(4 * kRate) * layout.channels, 3);
    const pid_t child = ::fork();
    if (child == 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{kLimit, kLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      auto file = RecordingFile::create(path, layout.container, kRate, layout.channels, 5);
      if (!file) ::_exit(1);
      bool refused = false;
      for (size_t at = 0; at < samples.size() && !refused; at += 160 * layout.channels) {
        auto put = file->append(std::span(samples).subspan(at, 160 * layout.channels));
        refused = !put && put.error().message().find("File too large") != std::string::npos;
      }
      if (!refused || file->append(std::span(samples).first(layout.channels))) ::_exit(2);
      ::_exit(file->finish() ? 0 : 3);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const auto bytes = read_bytes(path);
    EXPECT_LE(bytes.size(), kLimit);
    auto decoded = decode_audio(bytes);
    ASSERT_TRUE(decoded) << core_error_from_decode(decoded.error()).message();
    const size_t frames = decoded->samples.size() / layout.channels;
    EXPECT_GT(frames, 0u);
    // The 16-bit WAV and AIFF files lose less than a frame; FLAC less than a block.
    EXPECT_GT(bytes.size(), kLimit - (layout.container == Container::Flac ? 12000 : 4));
    const auto expected = decode_audio(whole_file(layout.container, layout.channels, samples));
    EXPECT_TRUE(std::equal(decoded->samples.begin(), decoded->samples.end(),
                           expected->samples.begin()));
  }
}

TEST(RecordingFile, RefusesWhatItsContainerCannotHold) {
  TempDir dir;
  EXPECT_EQ(RecordingFile::create(dir.path() / "a", Container::Flac, kRate, 9, 5).error().name(),
            "AudioFormatUnsupported");
  EXPECT_EQ(RecordingFile::create(dir.path() / "b", Container::Wav, kRate, 1, 9).error().name(),
            "FlacCompressionOutOfRange");
  EXPECT_EQ(RecordingFile::create(dir.path() / "no" / "c", Container::Wav, kRate, 1, 5)
                .error()
                .name(),
            "FileWriteFailed");
}

}  // namespace
}  // namespace murello
