#include "files/saved_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "audiofile/aiff/writer.hpp"
#include "audiofile/container.hpp"
#include "audiofile/flac_encoder/encoder.hpp"
#include "audiofile/wav/writer.hpp"
#include "files/file_fixtures.hpp"
#include "files/descriptor.hpp"
#include "files/file_stream.hpp"
#include "files/load.hpp"
#include "files/stream_save.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::TempDir;
using testing::tone;

constexpr const char* kExtensions[] = {"wav", "aiff", "flac"};

std::vector<std::filesystem::path> folder_entries(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename());
  }
  return names;
}

// The whole-file image FileSource::save writes for the same samples.
std::vector<uint8_t> whole_image(Container container, const std::vector<float>& samples,
                                 uint32_t rate_hz, uint16_t channels) {
  std::vector<uint8_t> bytes;
  switch (container) {
    case Container::Wav:
      EXPECT_TRUE(write_wav({rate_hz, channels, WavSampleFormat::Pcm16}, samples, bytes));
      break;
    case Container::Aiff:
      EXPECT_TRUE(write_aiff({rate_hz, int16_t(channels), AiffSampleFormat::Signed16Be},
                             samples, bytes));
      break;
    case Container::Flac:
      EXPECT_TRUE(encode_flac({rate_hz, channels, 16, 5}, samples, bytes));
      break;
  }
  return bytes;
}

struct Expectation {
  const char* name;
  std::optional<uint64_t> (*frames)(uint64_t actual);
};

const Expectation kExpectations[] = {
    {"exact", [](uint64_t actual) { return std::optional<uint64_t>(actual); }},
    {"unknown", [](uint64_t) { return std::optional<uint64_t>(); }},
    {"too many", [](uint64_t actual) { return std::optional<uint64_t>(actual + 5000); }},
    {"too few", [](uint64_t actual) { return std::optional<uint64_t>(actual / 3); }},
};

// Appended in uneven pieces, with whatever length was expected, the file is byte for
// byte the one written whole, and the counts are those of the whole.
TEST(SavedFile, WritesWhatTheWholeFileWriterWrites) {
  TempDir dir;
  std::vector<float> samples = tone(10000, 2, 16000);
  samples[3] = std::numeric_limits<float>::quiet_NaN();
  samples[7] = 1.5f;
  samples[9001] = -std::numeric_limits<float>::infinity();
  for (int c = 0; c < 3; ++c) {
    const auto container = static_cast<Container>(c);
    const auto expected = whole_image(container, samples, 16000, 2);
    for (const Expectation& expectation : kExpectations) {
      SCOPED_TRACE(std::string(kExtensions[c]) + ", length " + expectation.name);
      const auto path = dir.path() / (std::string("out.") + kExtensions[c]);
      auto file = SavedFile::create(path, container, 16000, 2, 5, expectation.frames(10000));
      ASSERT_TRUE(file) << file.error().message();
      constexpr size_t kPieceFrames[] = {1, 777, 3, 4097, 2};
      for (size_t from = 0, i = 0; from < samples.size(); ++i) {
        const size_t take = std::min(kPieceFrames[i % 5] * 2, samples.size() - from);
        ASSERT_TRUE(file->append(std::span(samples).subspan(from, take)));
        from += take;
      }
      ASSERT_TRUE(file->commit());
      EXPECT_EQ(testing::read_bytes(path), expected);
      EXPECT_EQ(file->counts().clipped, 1u);
      EXPECT_EQ(file->counts().non_finite, 2u);
    }
  }
}

// A WAV expected beyond RIFF's 4 GiB is RF64 from its first byte, and stays a valid RF64
// file however much shorter it turns out.
TEST(SavedFile, AWavExpectedPastFourGibIsRf64) {
  TempDir dir;
  const auto path = dir.path() / "long.wav";
  auto file = SavedFile::create(path, Container::Wav, 8000, 1, 5, uint64_t{1} << 31);
  ASSERT_TRUE(file);
  const std::vector<float> samples = tone(300, 1, 8000);
  ASSERT_TRUE(file->append(samples));
  ASSERT_TRUE(file->commit());
  const auto bytes = testing::read_bytes(path);
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RF64");
  std::vector<uint8_t> forced;
  ASSERT_TRUE(write_wav({8000, 1, WavSampleFormat::Pcm16, false, true}, samples, forced));
  EXPECT_EQ(bytes, forced);
}

// A FIFO cannot be written back to: it gets the finished file whole, header completed.
TEST(SavedFile, AFifoGetsTheFinishedFile) {
  TempDir dir;
  const auto fifo = dir.path() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  Descriptor reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(reader.is_open());
  const std::vector<float> samples = tone(1000, 1, 8000);  // well within the pipe's buffer
  for (int c = 0; c < 3; ++c) {
    SCOPED_TRACE(kExtensions[c]);
    const auto container = static_cast<Container>(c);
    auto file = SavedFile::create(fifo, container, 8000, 1, 5, std::nullopt);
    ASSERT_TRUE(file) << file.error().message();
    ASSERT_TRUE(file->append(samples));
    ASSERT_TRUE(file->commit());
    std::vector<uint8_t> got(1 << 16);
    const ssize_t read = ::read(reader.get(), got.data(), got.size());
    ASSERT_GT(read, 0);
    got.resize(size_t(read));
    EXPECT_EQ(got, whole_image(container, samples, 8000, 1));
  }
}

// Refusals come before anything is made, and a file abandoned part-way leaves the earlier
// file of that name as it was and nothing else behind.
TEST(SavedFile, RefusedOrAbandonedLeavesTheFolderAsItWas) {
  TempDir dir;
  const auto path = dir.path() / "out.aiff";
  testing::write_bytes(path, {1, 2, 3});
  auto too_long = SavedFile::create(path, Container::Aiff, 8000, 2, 5, uint64_t{1} << 30);
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().kind(), ErrorKind::AudioFileMalformed);
  EXPECT_EQ(SavedFile::create(path, Container::Flac, 8000, 9, 5, 10).error().kind(),
            ErrorKind::AudioFormatUnsupported);
  EXPECT_EQ(SavedFile::create(path, Container::Wav, 8000, 1, 9, 10).error().kind(),
            ErrorKind::FlacCompressionOutOfRange);
  {
    auto abandoned = SavedFile::create(path, Container::Aiff, 8000, 1, 5, std::nullopt);
    ASSERT_TRUE(abandoned);
    ASSERT_TRUE(abandoned->append(tone(1000, 1, 8000)));
  }
  EXPECT_EQ(testing::read_bytes(path), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(folder_entries(dir.path()), std::vector<std::filesystem::path>{"out.aiff"});
}

// A conversion streamed step by step writes the bytes that loading the file whole and
// saving it wrote, resampled and remixed, for every container; a stop asked for leaves
// nothing.
TEST(SaveStream, WritesWhatLoadAndSaveWrote) {
  TempDir dir;
  const auto input = dir.path() / "in.wav";
  testing::write_float_wav(input, tone(3 * kWholePumpFrames + 777, 2, 44100), 44100, 2);
  SourceConfig config;
  config.sample_rate = 16000;
  config.channels = 1;
  config.highpass = 80;
  LoadRequest load;
  load.config = config;
  auto loaded = load_file(input, load);
  ASSERT_TRUE(loaded) << loaded.error().message();
  StreamRequest request;
  request.config = config;
  for (int c = 0; c < 3; ++c) {
    SCOPED_TRACE(kExtensions[c]);
    const auto container = static_cast<Container>(c);
    auto stream = FileStream::open(input, request);
    ASSERT_TRUE(stream) << stream.error().message();
    WorkProgress progress;
    const auto path = dir.path() / (std::string("out.") + kExtensions[c]);
    auto counts = save_stream(**stream, path, container, 5, &progress);
    ASSERT_TRUE(counts) << counts.error().message();
    ASSERT_TRUE(*counts);
    EXPECT_EQ(testing::read_bytes(path), whole_image(container, loaded->samples, 16000, 1));
    EXPECT_EQ(progress.frames.load(), loaded->samples.size());

    auto stopped_stream = FileStream::open(input, request);
    ASSERT_TRUE(stopped_stream);
    WorkProgress stop;
    stop.stop = true;
    const auto stopped_path = dir.path() / (std::string("stopped.") + kExtensions[c]);
    auto stopped = save_stream(**stopped_stream, stopped_path, container, 5, &stop);
    ASSERT_TRUE(stopped);
    EXPECT_FALSE(*stopped);
    EXPECT_GT(stop.frames.load(), 0u);
    EXPECT_FALSE(std::filesystem::exists(stopped_path));
  }
  EXPECT_EQ(folder_entries(dir.path()).size(), 4u);
}

}  // namespace
}  // namespace murello
