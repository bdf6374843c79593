// The FLAC encoder as a whole: validation, the stream layout, its edge cases, and
// cross-checks with this project's decoder and the reference flac tool.
#include "audiofile/flac_encoder/encoder.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "audiofile/container.hpp"
#include "audiofile/flac_encoder/level.hpp"
#include "audiofile/writer_test_tools.hpp"
#include "support/prerequisite.hpp"

namespace murello {
namespace {

uint64_t be(const std::vector<uint8_t>& b, size_t at, unsigned bytes) {
  uint64_t v = 0;
  for (unsigned i = 0; i < bytes; ++i) v = v << 8 | b[at + i];
  return v;
}

std::vector<uint8_t> encode(FlacEncodeRequest r, const std::vector<float>& x) {
  std::vector<uint8_t> out;
  auto written = encode_flac(r, x, out);
  EXPECT_TRUE(written) << written.error().display();
  return out;
}

constexpr size_t kFrames = 42;  // "fLaC", block header, STREAMINFO

// Integers at `bits` bits with at most 24 significant bits, so that float32 carries
// them exactly; channels differ in character so that every subframe type and stereo
// pairing gets used.
std::vector<int64_t> test_integers(size_t frames, unsigned channels, unsigned bits, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0, 1);
  const double full = std::ldexp(1.0, int(bits) - 1);
  std::vector<int64_t> x(frames * channels);
  auto representable = [&](double v) {
    int64_t t = std::clamp<int64_t>(int64_t(v), int64_t(-full), int64_t(full) - 1);
    unsigned width = unsigned(std::bit_width(uint64_t(t < 0 ? -t : t)));
    int64_t drop = width > 24 ? (int64_t(1) << (width - 24)) - 1 : 0;
    return t < 0 ? -((-t) & ~drop) : t & ~drop;
  };
  for (size_t n = 0; n < frames; ++n) {
    double tone = 0.6 * full * std::sin(0.02 * double(n) + seed);
    for (unsigned c = 0; c < channels; ++c) {
      double v = 0;
      switch ((c + seed) % 4) {
        case 0: v = tone + 0.01 * full * noise(rng); break;
        case 1: v = tone * 0.9 + 0.02 * full * noise(rng); break;  // close to channel 0
        case 2: v = 0.3 * full * noise(rng); break;
        case 3: v = std::floor(tone / 8) * 8; break;  // wasted bits where the depth allows
      }
      if (n < 20 && c == 1) v = full / 3;  // a constant run
      x[n * channels + c] = representable(v);
    }
  }
  return x;
}

std::vector<float> as_floats(const std::vector<int64_t>& x, unsigned bits) {
  std::vector<float> f(x.size());
  for (size_t i = 0; i < x.size(); ++i) f[i] = float(std::ldexp(double(x[i]), 1 - int(bits)));
  return f;
}

TEST(FlacEncoder, ValidatesInOrderAndAppendsNothingOnError) {
  std::vector<uint8_t> out = {9};
  std::vector<float> five(5, 0.0f);
  auto display = [&](FlacEncodeRequest r) {
    auto result = encode_flac(r, five, out);
    EXPECT_FALSE(result);
    EXPECT_EQ(out.size(), 1u);
    return result ? std::string("ok") : result.error().display();
  };
  EXPECT_EQ(display({0, 9, 3, 9}), "9-channel audio is not a supported layout");
  EXPECT_EQ(display({0, 0, 16, 5}), "0-channel audio is not a supported layout");
  EXPECT_EQ(display({1048576, 2, 3, 9}),
            "malformed input at byte 18: expected a sample rate between 1 and 1048575, the range "
            "streaminfo carries");
  EXPECT_EQ(display({44100, 2, 3, 9}), "codec 'FLAC' at 3 bits per sample is not a supported sample format");
  EXPECT_EQ(display({44100, 2, 33, 5}), "codec 'FLAC' at 33 bits per sample is not a supported sample format");
  EXPECT_EQ(display({44100, 2, 16, 9}),
            "malformed input at byte 0: expected a compression level between 0 and 8");
  EXPECT_EQ(display({44100, 2, 16, 8}), "input ended early: 2 needed, 1 available");
}

TEST(FlacEncoder, EmptyInputIsAStreamInfoWithoutFrames) {
  auto out = encode({44100, 2, 16, 5}, {});
  ASSERT_EQ(out.size(), kFrames);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 4), "fLaC");
  EXPECT_EQ(be(out, 4, 4), 0x80000022u);
  EXPECT_EQ(be(out, 8, 2), 4096u);
  EXPECT_EQ(be(out, 10, 2), 4096u);
  EXPECT_EQ(be(out, 12, 3), 0u);  // minimum frame size
  EXPECT_EQ(be(out, 15, 3), 0u);  // maximum frame size
  // 44100 Hz, 2 channels, 16 bits, 0 frames.
  EXPECT_EQ(be(out, 18, 8), uint64_t(44100) << 44 | uint64_t(1) << 41 | uint64_t(15) << 36);
  EXPECT_EQ(be(out, 26, 8), 0xd41d8cd98f00b204u);  // MD5 of no data
  EXPECT_EQ(be(out, 34, 8), 0xe9800998ecf8427eu);
  auto decoded = decode_audio(out);
  ASSERT_TRUE(decoded) << decoded.error().display();
  EXPECT_TRUE(decoded->samples.empty());
}

TEST(FlacEncoder, SilenceIsOneFrameOfConstantSubframes) {
  auto out = encode({44100, 1, 16, 5}, std::vector<float>(10, 0.0f));
  // Header: sync, block-size code 6 with rate code 9, mono 16-bit, frame 0, size - 1,
  // CRC-8; then a CONSTANT subframe (type byte 0, a 16-bit zero) and the CRC-16.
  ASSERT_EQ(out.size(), kFrames + 7 + 1 + 2 + 2);
  EXPECT_EQ(be(out, kFrames, 4), 0xFFF86908u);
  EXPECT_EQ(out[kFrames + 4], 0x00);  // frame number
  EXPECT_EQ(out[kFrames + 5], 9);     // block size - 1
  EXPECT_EQ(be(out, kFrames + 7, 3), 0u);
  EXPECT_EQ(be(out, 12, 3), 12u);  // minimum and maximum frame size: this frame
  EXPECT_EQ(be(out, 15, 3), 12u);
}

TEST(FlacEncoder, IdenticalStereoChannelsAreCodedAsLeftAndAConstantSide) {
  auto mono_ints = test_integers(1000, 1, 16, 0);
  std::vector<int64_t> stereo_ints;
  for (int64_t v : mono_ints) stereo_ints.insert(stereo_ints.end(), {v, v});
  auto mono = encode({44100, 1, 16, 5}, as_floats(mono_ints, 16));
  auto stereo = encode({44100, 2, 16, 5}, as_floats(stereo_ints, 16));
  EXPECT_EQ(stereo[kFrames + 3] >> 4, 8);  // left/side
  // The left subframe is the mono one; a CONSTANT 17-bit side adds 25 bits.
  size_t extra = stereo.size() - mono.size();
  EXPECT_TRUE(extra == 3 || extra == 4) << extra;
}

TEST(FlacEncoder, QuantisesByClampingScalingAndTruncating) {
  const std::vector<float> x = {1.0f,      -1.0f,      1.5f,  -7.0f,         NAN,      INFINITY,
                                -INFINITY, 0.99999f, -0.99999f, 1e-5f, -3.5f / 32768};
  auto decoded = decode_audio(encode({8000, 1, 16, 5}, x));
  ASSERT_TRUE(decoded) << decoded.error().display();
  const std::vector<int> expected = {32767, -32768, 32767, -32768, 0, 32767,
                                     -32768, 32767, -32767, 0, -3};
  ASSERT_EQ(decoded->samples.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(decoded->samples[i] * 32768.0f, float(expected[i])) << i;
}

TEST(FlacEncoder, StreamInfoCarriesTheSizesOfTheFramesWritten) {
  // Two frames: a long loud one and a one-sample tail.
  auto x = as_floats(test_integers(1153, 1, 16, 2), 16);
  auto out = encode({44100, 1, 16, 0}, x);
  uint64_t smallest = be(out, 12, 3), largest = be(out, 15, 3);
  EXPECT_LT(smallest, largest);
  EXPECT_EQ(smallest + largest, out.size() - kFrames);
  EXPECT_EQ(be(out, 18, 8) & 0xFFFFFFFFFu, 1153u);
}

// Full-scale 32-bit channels in opposition: the side channel needs all 33 bits and most
// predictors' residuals pass 2^31, so only the wide paths and VERBATIM can code them.
TEST(FlacEncoder, FullScaleOpposed32BitStereoRoundTrips) {
  if (!testing::have_tool("flac")) MURELLO_MISSING_PREREQUISITE() << "flac is not installed";
  testing::ScratchDir dir;
  std::vector<float> x;
  for (int n = 0; n < 3000; ++n) {
    float v = (n / 7) % 2 ? 1.0f : -1.0f;
    if (n % 11 == 0) v *= 0.25f;
    x.insert(x.end(), {v, -v});
  }
  std::vector<float> expected = x;
  for (float& v : expected) v = v == 1.0f ? float(2147483647.0 / 2147483648.0) : v;
  for (unsigned level : {0u, 5u, 8u}) {
    auto file = encode({48000, 2, 32, uint8_t(level)}, x);
    auto decoded = decode_audio(file);
    ASSERT_TRUE(decoded) << decoded.error().display();
    EXPECT_EQ(decoded->samples, expected) << level;
    std::string path = dir.file(std::to_string(level) + ".flac"), log;
    testing::write_file(path, file);
    EXPECT_EQ(testing::run("flac -t -s '" + path + "'", &log), 0) << log;
  }
}

struct ToolCase {
  unsigned level, bits, channels;
  size_t frames;
  uint32_t rate_hz;
  std::vector<int64_t> ints;
  std::string path;
};

// Every level, depth and length, with channel counts 1..8 spread across them and stereo
// at every level and depth; unusual rates and the shortest blocks exercise the header
// codes. Each file must decode, in this project's decoder and in flac, to exactly the
// integers encoded.
TEST(FlacEncoder, ReferenceDecoderAcceptsEveryLevelDepthLayoutAndLength) {
  if (!testing::have_tool("flac")) MURELLO_MISSING_PREREQUISITE() << "flac is not installed";
  const unsigned depths[] = {4, 8, 12, 16, 20, 24, 32};
  const uint32_t rates[] = {8000, 44100, 12345, 1048575, 96000, 22050, 16000};
  testing::ScratchDir dir;
  std::vector<ToolCase> cases;
  for (unsigned level = 0; level <= kFlacMaxLevel; ++level) {
    const size_t block = kFlacLevels[level].block_frames;
    const size_t lengths[] = {0, 1, 15, 16, 1152, block + 1};
    for (unsigned d = 0; d < 7; ++d) {
      for (unsigned l = 0; l < 6; ++l)
        cases.push_back({level, depths[d], 1 + (level + d + l) % 8, lengths[l], rates[(l + d) % 7], {}, {}});
      cases.push_back({level, depths[d], 2, block + 1, 44100, {}, {}});
    }
  }
  std::string names;
  for (ToolCase& c : cases) {
    const unsigned seed = unsigned(&c - cases.data());
    c.ints = test_integers(c.frames, c.channels, c.bits, seed);
    std::vector<uint8_t> file = encode({c.rate_hz, uint16_t(c.channels), uint8_t(c.bits), uint8_t(c.level)},
                                       as_floats(c.ints, c.bits));
    auto decoded = decode_audio(file);
    ASSERT_TRUE(decoded) << decoded.error().display();
    EXPECT_EQ(decoded->samples, as_floats(c.ints, c.bits)) << c.level << "/" << c.bits;
    c.path = dir.file(std::to_string(seed) + ".flac");
    testing::write_file(c.path, file);
    names += " '" + c.path + "'";
  }
  std::string log;
  ASSERT_EQ(testing::run("flac -t -s" + names, &log), 0) << log;
  ASSERT_EQ(testing::run("flac -d -s -f" + names, &log), 0) << log;
  for (const ToolCase& c : cases) {
    std::string wav = c.path.substr(0, c.path.size() - 5) + ".wav";
    auto decoded = decode_audio(testing::read_file(wav));
    ASSERT_TRUE(decoded) << wav << ": " << decoded.error().display();
    EXPECT_EQ(decoded->channels, c.channels);
    EXPECT_EQ(decoded->sample_rate_hz, c.rate_hz);
    // flac stores depths that are not whole bytes left-justified in the next width up.
    EXPECT_EQ(decoded->samples, as_floats(c.ints, c.bits))
        << "level " << c.level << ", " << c.bits << " bits, " << c.channels << " channels, "
        << c.frames << " frames";
  }
}

}  // namespace
}  // namespace murello
