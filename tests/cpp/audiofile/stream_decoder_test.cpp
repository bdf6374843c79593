// Decoding a piece at a time, from the start or from a seek, gives the samples of a whole
// decode; a FLAC stream finds the frame holding its target by the frame headers alone.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "audiofile/aiff/writer.hpp"
#include "audiofile/container.hpp"
#include "audiofile/flac_encoder/encoder.hpp"
#include "audiofile/stream_decoder.hpp"
#include "audiofile/wav/writer.hpp"

namespace murello {
namespace {

constexpr uint32_t kRate = 44100;
constexpr uint16_t kChannels = 2;
constexpr size_t kFrames = 20'000;  // several FLAC frames and a short last one

std::vector<float> signal() {
  std::vector<float> samples(kFrames * kChannels);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = 0.5f * std::sin(0.01f * float(i)) + 0.1f * std::sin(0.37f * float(i % 7));
  }
  return samples;
}

std::vector<uint8_t> encoded(const std::string& container) {
  std::vector<uint8_t> out;
  const auto samples = signal();
  if (container == "wav") {
    EXPECT_TRUE(write_wav({kRate, kChannels, WavSampleFormat::Pcm24, false, false}, samples, out));
  } else if (container == "aiff") {
    EXPECT_TRUE(write_aiff({kRate, kChannels, AiffSampleFormat::Signed16Be}, samples, out));
  } else {
    EXPECT_TRUE(encode_flac({kRate, kChannels, 16, 5}, samples, out));
  }
  return out;
}

// The samples from `first` on, in pieces of `piece` frames, and whether finish() passed.
std::vector<float> decode_from(const std::vector<uint8_t>& file, uint64_t first, size_t piece,
                               bool& finished) {
  auto decoder = AudioStreamDecoder::open(file);
  EXPECT_TRUE(decoder);
  std::vector<float> out;
  if (!decoder) return out;
  if (first > 0) {
    EXPECT_TRUE(decoder->seek(first));
  }
  while (true) {
    auto more = decoder->next(piece, out);
    EXPECT_TRUE(more) << more.error().display();
    if (!more || !*more) break;
  }
  finished = bool(decoder->finish());
  return out;
}

class StreamDecoder : public ::testing::TestWithParam<std::string> {};

TEST_P(StreamDecoder, PiecesAddUpToTheWholeDecode) {
  const auto file = encoded(GetParam());
  auto whole = decode_audio(file);
  ASSERT_TRUE(whole);
  for (size_t piece : {1, 1000, 4095, 4097, 100'000}) {
    bool finished = false;
    EXPECT_EQ(decode_from(file, 0, piece, finished), whole->samples) << "pieces of " << piece;
    EXPECT_TRUE(finished);
  }
}

TEST_P(StreamDecoder, SeekStartsAtTheTargetFrame) {
  const auto file = encoded(GetParam());
  auto whole = decode_audio(file);
  ASSERT_TRUE(whole);
  // FLAC frames of level 5 hold 4096 frames: targets on, before and after their edges.
  for (uint64_t first : {1, 4095, 4096, 4097, 12'288, 19'999, 20'000, 25'000}) {
    bool finished = false;
    const auto from = decode_from(file, first, 3000, finished);
    const size_t skipped = std::min<size_t>(first, kFrames) * kChannels;
    EXPECT_EQ(from, std::vector<float>(whole->samples.begin() + skipped, whole->samples.end()))
        << "from frame " << first;
  }
}

INSTANTIATE_TEST_SUITE_P(Containers, StreamDecoder, ::testing::Values("wav", "aiff", "flac"));

// The signature covers the whole stream: it fails a read from the start in finish(), and
// is not held against a read from a seek.
TEST(StreamDecoderFlac, WrongMd5ShowsOnlyInFinish) {
  auto file = encoded("flac");
  file[8 + 18] ^= 0x01;  // the STREAMINFO signature's first byte
  bool finished = true;
  auto whole = decode_audio(file);
  ASSERT_FALSE(whole);
  const auto pieces = decode_from(file, 0, 5000, finished);
  EXPECT_EQ(pieces.size(), kFrames * kChannels);
  EXPECT_FALSE(finished);
  decode_from(file, 5000, 5000, finished);  // a part cannot be checked against it
  EXPECT_TRUE(finished);
}

}  // namespace
}  // namespace murello
