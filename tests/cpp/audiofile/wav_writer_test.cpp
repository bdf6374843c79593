#include "audiofile/wav/writer.hpp"

#include <gtest/gtest.h>

#include <random>

#include "audiofile/container.hpp"
#include "audiofile/writer_test_tools.hpp"
#include "support/prerequisite.hpp"
#include "support/prerequisite.hpp"

namespace murello {
namespace {

using testing::ScratchDir;

uint64_t le(const std::vector<uint8_t>& b, size_t at, unsigned bytes) {
  uint64_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) v |= uint64_t(b[at + i]) << (8 * i);
  return v;
}

std::string text(const std::vector<uint8_t>& b, size_t at) {
  return std::string(reinterpret_cast<const char*>(b.data() + at), 4);
}

std::vector<float> test_signal(size_t count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> x(count);
  for (float& v : x) v = uniform(rng);
  if (count >= 2) x[0] = 1.0f, x[1] = -1.0f;
  return x;
}

TEST(WavWriter, ThreeFramesOfMono8BitHavePadByteAndRiffSize40) {
  std::vector<uint8_t> out;
  auto written = write_wav({8000, 1, WavSampleFormat::Pcm8}, std::vector<float>{0.0f, 0.5f, -0.5f}, out);
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, 48u);
  EXPECT_EQ(out.size(), 48u);
  EXPECT_EQ(text(out, 0), "RIFF");
  EXPECT_EQ(le(out, 4, 4), 40u);
  EXPECT_EQ(text(out, 36), "data");
  EXPECT_EQ(le(out, 40, 4), 3u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 44, out.end()),
            (std::vector<uint8_t>{0x80, 0xC0, 0x40, 0x00}));
}

TEST(WavWriter, SwitchesToRf64ExactlyWhenTheRiffSizeOverflows) {
  // Plain: RIFF size = data + 36 (+ pad); extensible: data + 60 (+ pad).
  EXPECT_FALSE(wav_layout(0xFFFFFFFFull - 37, false, false).rf64);  // even, size 0xFFFFFFFE
  EXPECT_TRUE(wav_layout(0xFFFFFFFFull - 36, false, false).rf64);   // odd, pad makes 2^32
  EXPECT_FALSE(wav_layout(0xFFFFFFFFull - 61, true, false).rf64);
  EXPECT_TRUE(wav_layout(0xFFFFFFFFull - 59, true, false).rf64);
  WavLayout big = wav_layout(uint64_t(5) << 30, false, false);
  EXPECT_TRUE(big.rf64);
  EXPECT_EQ(big.riff_bytes, (uint64_t(5) << 30) + 72);
  EXPECT_EQ(wav_layout(11, true, true).riff_bytes, 11u + 1 + 96);
}

TEST(WavWriter, ForcedRf64CarriesItsSizesInDs64) {
  std::vector<uint8_t> out;
  auto x = test_signal(2 * 5, 1);
  ASSERT_TRUE(write_wav({48000, 2, WavSampleFormat::Pcm24, false, true}, x, out));
  EXPECT_EQ(text(out, 0), "RF64");
  EXPECT_EQ(le(out, 4, 4), 0xFFFFFFFFu);
  EXPECT_EQ(text(out, 12), "ds64");
  EXPECT_EQ(le(out, 16, 4), 28u);
  EXPECT_EQ(le(out, 20, 8), out.size() - 8);  // riffSize
  EXPECT_EQ(le(out, 28, 8), 30u);             // dataSize
  EXPECT_EQ(le(out, 36, 8), 5u);              // sampleCount, frames
  EXPECT_EQ(le(out, 44, 4), 0u);
  EXPECT_EQ(text(out, 72), "data");
  EXPECT_EQ(le(out, 76, 4), 0xFFFFFFFFu);
}

struct WavCase {
  WavSampleFormat format;
  bool extensible;
  bool rf64;
};

class WavRoundTrip : public ::testing::TestWithParam<WavCase> {};

// Every format in every container variant: our reader gives back the format's quantisation
// of the input, and the sizes in the header agree with the bytes written.
TEST_P(WavRoundTrip, ReadsBackAsTheFormatQuantises) {
  const WavCase c = GetParam();
  const uint16_t channels = 3;
  auto x = test_signal(channels * 7, unsigned(c.format));
  std::vector<uint8_t> out = {0xAA};  // writers append
  auto written = write_wav({22050, channels, c.format, c.extensible, c.rf64}, x, out);
  ASSERT_TRUE(written) << written.error().display();
  EXPECT_EQ(*written, out.size() - 1);
  std::vector<uint8_t> file(out.begin() + 1, out.end());
  const size_t fmt = c.rf64 ? 48 : 12;
  EXPECT_EQ(le(file, c.rf64 ? 20 : 4, c.rf64 ? 8 : 4), file.size() - 8);
  EXPECT_EQ(le(file, fmt + 8, 2), c.extensible ? 0xFFFEu : wav_format_info(c.format).format_tag);

  auto decoded = decode_audio(file);
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(decoded->sample_rate_hz, 22050u);
  EXPECT_EQ(decoded->channels, channels);
  std::vector<uint8_t> stored;
  std::vector<float> expected;
  encode_layout(wav_format_info(c.format).layout, x, stored);
  decode_layout(wav_format_info(c.format).layout, stored, expected);
  EXPECT_EQ(decoded->samples, expected);
}

std::vector<WavCase> all_wav_cases() {
  std::vector<WavCase> cases;
  for (unsigned f = 0; f < 8; ++f)
    for (bool extensible : {false, true})
      for (bool rf64 : {false, true}) cases.push_back({WavSampleFormat(f), extensible, rf64});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(AllFormats, WavRoundTrip, ::testing::ValuesIn(all_wav_cases()));

TEST(WavWriter, ValidatesInOrderAndAppendsNothingOnError) {
  std::vector<uint8_t> out = {1, 2, 3};
  std::vector<float> five(5, 0.0f);
  auto kind = [&](WavWriteRequest r, std::span<const float> x) {
    auto result = write_wav(r, x, out);
    EXPECT_FALSE(result);
    EXPECT_EQ(out.size(), 3u);
    return result ? std::string("ok") : result.error().display();
  };
  EXPECT_EQ(kind({0, 0, WavSampleFormat::Pcm16}, five), "0-channel audio is not a supported layout");
  EXPECT_EQ(kind({0, 8192, WavSampleFormat::Float64}, five),
            "8192-channel audio is not a supported layout");
  EXPECT_EQ(kind({0, 2, WavSampleFormat::Pcm16}, five),
            "malformed input at byte 24: expected a non-zero sample rate");
  EXPECT_EQ(kind({8000, 2, WavSampleFormat::Pcm24}, five), "input ended early: 6 needed, 3 available");
  EXPECT_TRUE(write_wav({8000, 8191, WavSampleFormat::Float64}, {}, out));
}

// sox and libsndfile read every variant we write and get the values our reader gets.
TEST(WavWriter, ReferenceReadersAgree) {
  if (!testing::have_tool("sox")) MURELLO_MISSING_PREREQUISITE() << "sox is not installed";
  if (!std::filesystem::exists(testing::project_python()))
    MURELLO_MISSING_PREREQUISITE() << "no virtual environment with soundfile at "
                                   << testing::project_python();
  ScratchDir dir;
  std::vector<std::string> paths;
  std::vector<std::vector<float>> expected;
  for (const WavCase& c : all_wav_cases()) {
    auto x = test_signal(2 * 9, 40 + unsigned(c.format));
    std::vector<uint8_t> file;
    ASSERT_TRUE(write_wav({16000, 2, c.format, c.extensible, c.rf64}, x, file));
    paths.push_back(dir.file(std::to_string(paths.size()) + ".wav"));
    testing::write_file(paths.back(), file);
    expected.push_back(decode_audio(file)->samples);
  }
  std::string log;
  ASSERT_TRUE(testing::read_with_soundfile(paths, &log)) << log;
  for (size_t i = 0; i < paths.size(); ++i) {
    testing::expect_close(testing::floats_from_bytes(testing::read_file(paths[i] + ".sf.f32")),
                          expected[i], "soundfile " + paths[i]);
    ASSERT_TRUE(testing::read_with_sox(paths[i], &log)) << paths[i] << ": " << log;
    testing::expect_close(testing::floats_from_bytes(testing::read_file(paths[i] + ".sox.f32")),
                          expected[i], "sox " + paths[i]);
  }
}

}  // namespace
}  // namespace murello
