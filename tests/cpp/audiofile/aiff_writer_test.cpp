#include "audiofile/aiff/writer.hpp"

#include <gtest/gtest.h>

#include <random>

#include "audiofile/container.hpp"
#include "audiofile/writer_test_tools.hpp"
#include "support/prerequisite.hpp"
#include "support/prerequisite.hpp"

namespace murello {
namespace {

uint64_t be(const std::vector<uint8_t>& b, size_t at, unsigned bytes) {
  uint64_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) v = v << 8 | b[at + i];
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

bool is_aifc(AiffSampleFormat f) {
  unsigned n = unsigned(f);
  return !(n == 0 || n == 2 || n == 3 || n == 4);
}

TEST(AiffWriter, SampleRateIsAn80BitExtendedValue) {
  auto rate = aiff_extended_rate(44100);
  EXPECT_EQ(rate[0] << 8 | rate[1], 0x400E);
  EXPECT_EQ(rate[2], 0xAC);
  EXPECT_EQ(rate[3], 0x44);
  for (unsigned i = 4; i < 10; ++i) EXPECT_EQ(rate[i], 0);
  auto one = aiff_extended_rate(1);
  EXPECT_EQ(one[0] << 8 | one[1], 16383);
  EXPECT_EQ(one[2], 0x80);
  auto top = aiff_extended_rate(0xFFFFFFFF);
  EXPECT_EQ(top[0] << 8 | top[1], 16414);
  EXPECT_EQ(top[5], 0xFF);
  EXPECT_EQ(top[6], 0);
}

TEST(AiffWriter, AifcLayoutHasVersionCompressionTypeAndEmptyName) {
  std::vector<uint8_t> out;
  ASSERT_TRUE(write_aiff({8000, 1, AiffSampleFormat::Unsigned8}, std::vector<float>{0.5f}, out));
  EXPECT_EQ(text(out, 0), "FORM");
  EXPECT_EQ(be(out, 4, 4), out.size() - 8);
  EXPECT_EQ(text(out, 8), "AIFC");
  EXPECT_EQ(text(out, 12), "FVER");
  EXPECT_EQ(be(out, 16, 4), 4u);
  EXPECT_EQ(be(out, 20, 4), 0xA2805140u);
  EXPECT_EQ(text(out, 24), "COMM");
  EXPECT_EQ(be(out, 28, 4), 24u);
  EXPECT_EQ(be(out, 32, 2), 1u);   // channels
  EXPECT_EQ(be(out, 34, 4), 1u);   // frames
  EXPECT_EQ(be(out, 38, 2), 8u);   // sampleSize
  EXPECT_EQ(text(out, 50), "raw ");
  EXPECT_EQ(be(out, 54, 2), 0u);   // empty compressionName, padded
  EXPECT_EQ(text(out, 56), "SSND");
  EXPECT_EQ(be(out, 60, 4), 9u);
  EXPECT_EQ(out.size(), 56u + 16 + 1 + 1);  // one sample byte and its pad byte
  EXPECT_EQ(out[72], 0xC0);
  EXPECT_EQ(out[73], 0x00);
}

TEST(AiffWriter, RefusesAudioBeyondTheFormSizeField) {
  // AIFF: data + 46, plus a pad byte when the data is odd.
  EXPECT_EQ(aiff_form_bytes(AiffSampleFormat::Signed16Be, 0xFFFFFFFFull - 47), 0xFFFFFFFEu);
  EXPECT_EQ(aiff_form_bytes(AiffSampleFormat::Signed8, 0xFFFFFFFFull - 46), 0x100000000u);
  EXPECT_EQ(aiff_form_bytes(AiffSampleFormat::Signed16Le, 10), 74u);
}

class AiffRoundTrip : public ::testing::TestWithParam<unsigned> {};

TEST_P(AiffRoundTrip, ReadsBackAsTheFormatQuantises) {
  const auto format = AiffSampleFormat(GetParam());
  auto x = test_signal(3 * 5, GetParam());
  std::vector<uint8_t> out = {0xAA};
  auto written = write_aiff({44100, 3, format}, x, out);
  ASSERT_TRUE(written) << written.error().display();
  std::vector<uint8_t> file(out.begin() + 1, out.end());
  EXPECT_EQ(*written, file.size());
  EXPECT_EQ(be(file, 4, 4), file.size() - 8);
  EXPECT_EQ(text(file, 8), is_aifc(format) ? "AIFC" : "AIFF");
  auto decoded = decode_audio(file);
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_EQ(decoded->sample_rate_hz, 44100u);
  EXPECT_EQ(decoded->channels, 3u);
  std::vector<uint8_t> stored;
  std::vector<float> expected;
  encode_layout(aiff_sample_layout(format), x, stored);
  decode_layout(aiff_sample_layout(format), stored, expected);
  EXPECT_EQ(decoded->samples, expected);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, AiffRoundTrip, ::testing::Range(0u, 12u));

TEST(AiffWriter, ValidatesInOrderAndAppendsNothingOnError) {
  std::vector<uint8_t> out = {1, 2, 3};
  std::vector<float> five(5, 0.0f);
  auto display = [&](AiffWriteRequest r) {
    auto result = write_aiff(r, five, out);
    EXPECT_FALSE(result);
    EXPECT_EQ(out.size(), 3u);
    return result ? std::string("ok") : result.error().display();
  };
  EXPECT_EQ(display({0, 0, AiffSampleFormat::Signed16Be}), "0-channel audio is not a supported layout");
  EXPECT_EQ(display({0, 2, AiffSampleFormat::Signed16Be}),
            "malformed input at byte 28: expected a non-zero sample rate");
  EXPECT_EQ(display({0, 2, AiffSampleFormat::Signed16Le}),
            "malformed input at byte 40: expected a non-zero sample rate");
  EXPECT_EQ(display({8000, 2, AiffSampleFormat::Signed24Be}), "input ended early: 6 needed, 3 available");
}

// sox and libsndfile read every format we write and get the values our reader gets.
// sox knows none of the compression types "raw ", "alaw" and "ulaw"; those are read by
// libsndfile only.
TEST(AiffWriter, ReferenceReadersAgree) {
  if (!testing::have_tool("sox")) MURELLO_MISSING_PREREQUISITE() << "sox is not installed";
  if (!std::filesystem::exists(testing::project_python()))
    MURELLO_MISSING_PREREQUISITE() << "no virtual environment with soundfile at "
                                   << testing::project_python();
  testing::ScratchDir dir;
  std::vector<std::string> paths;
  std::vector<std::vector<float>> expected;
  for (unsigned f = 0; f < 12; ++f) {
    auto x = test_signal(2 * 9, 60 + f);
    std::vector<uint8_t> file;
    ASSERT_TRUE(write_aiff({11025, 2, AiffSampleFormat(f)}, x, file));
    paths.push_back(dir.file(std::to_string(f) + (is_aifc(AiffSampleFormat(f)) ? ".aifc" : ".aiff")));
    testing::write_file(paths.back(), file);
    expected.push_back(decode_audio(file)->samples);
  }
  std::string log;
  ASSERT_TRUE(testing::read_with_soundfile(paths, &log)) << log;
  for (size_t i = 0; i < paths.size(); ++i) {
    testing::expect_close(testing::floats_from_bytes(testing::read_file(paths[i] + ".sf.f32")),
                          expected[i], "soundfile " + paths[i]);
    const auto format = AiffSampleFormat(i);
    if (format == AiffSampleFormat::Unsigned8 || format == AiffSampleFormat::ALaw ||
        format == AiffSampleFormat::MuLaw)
      continue;
    ASSERT_TRUE(testing::read_with_sox(paths[i], &log)) << paths[i] << ": " << log;
    testing::expect_close(testing::floats_from_bytes(testing::read_file(paths[i] + ".sox.f32")),
                          expected[i], "sox " + paths[i]);
  }
}

}  // namespace
}  // namespace murello
