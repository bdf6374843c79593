#include "audiofile/sample.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace murello {
namespace {

std::vector<float> decode(SampleEncoding e, std::vector<uint8_t> bytes) {
  std::vector<float> out;
  decode_samples(e, bytes, out);
  return out;
}

std::vector<uint8_t> encode(SampleEncoding e, std::vector<float> samples) {
  std::vector<uint8_t> out;
  encode_samples(e, samples, out);
  return out;
}

TEST(SampleDecode, EightBitLayouts) {
  EXPECT_EQ(decode(SampleEncoding::Unsigned8, {0x80, 0x00, 0xFF}),
            (std::vector<float>{0.0f, -1.0f, 127.0f / 128.0f}));
  EXPECT_EQ(decode(SampleEncoding::Signed8, {0x00, 0x80, 0x7F}),
            (std::vector<float>{0.0f, -1.0f, 127.0f / 128.0f}));
}

TEST(SampleDecode, IntegerByteOrdersAndSignExtension) {
  const float m = -1.0f / 32768.0f;  // the all-ones pattern at every width is -1 LSB
  EXPECT_EQ(decode(SampleEncoding::Signed16Le, {0x01, 0x80, 0xFF, 0xFF}),
            (std::vector<float>{-32767.0f / 32768.0f, m}));
  EXPECT_EQ(decode(SampleEncoding::Signed16Be, {0x80, 0x01}),
            (std::vector<float>{-32767.0f / 32768.0f}));
  EXPECT_EQ(decode(SampleEncoding::Signed24Le, {0x01, 0x00, 0x80, 0xFF, 0xFF, 0x7F}),
            (std::vector<float>{-8388607.0f / 8388608.0f, 0x7FFFFF / 8388608.0f}));
  EXPECT_EQ(decode(SampleEncoding::Signed24Be, {0x80, 0x00, 0x01, 0xFF, 0xFF, 0xFF}),
            (std::vector<float>{-8388607.0f / 8388608.0f, -1.0f / 8388608.0f}));
  EXPECT_EQ(decode(SampleEncoding::Signed32Le, {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x40}),
            (std::vector<float>{-1.0f, 0.5f}));
  EXPECT_EQ(decode(SampleEncoding::Signed32Be, {0x40, 0x00, 0x00, 0x00}),
            (std::vector<float>{0.5f}));
}

TEST(SampleDecode, TwentyFourBitGroupsAndTail) {
  // Five samples: decoding reads all but the last with word loads; encoding packs one
  // group of four word-wise and the fifth byte by byte.
  const std::vector<int32_t> values{1, -2, 0x7FFFFF, -0x800000, 0x123456};
  std::vector<uint8_t> le, be;
  std::vector<float> expected;
  for (int32_t v : values) {
    const uint32_t u = static_cast<uint32_t>(v);
    le.insert(le.end(), {uint8_t(u), uint8_t(u >> 8), uint8_t(u >> 16)});
    be.insert(be.end(), {uint8_t(u >> 16), uint8_t(u >> 8), uint8_t(u)});
    expected.push_back(static_cast<float>(v) / 8388608.0f);
  }
  EXPECT_EQ(decode(SampleEncoding::Signed24Le, le), expected);
  EXPECT_EQ(decode(SampleEncoding::Signed24Be, be), expected);
  EXPECT_EQ(encode(SampleEncoding::Signed24Le, expected), le);
  EXPECT_EQ(encode(SampleEncoding::Signed24Be, expected), be);
}

TEST(SampleDecode, TrailingPartialSampleIsIgnoredAndOutputAppends) {
  std::vector<float> out{9.0f};
  decode_samples(SampleEncoding::Signed16Le, std::vector<uint8_t>(7, 0), out);
  EXPECT_EQ(out, (std::vector<float>{9.0f, 0, 0, 0}));
  out.clear();
  decode_samples(SampleEncoding::Signed24Be, std::vector<uint8_t>(8, 0), out);
  EXPECT_EQ(out.size(), 2u);
}

TEST(SampleDecode, FloatLayouts) {
  // 1.5f is 0x3FC00000, 1.5 as double is 0x3FF8000000000000.
  EXPECT_EQ(decode(SampleEncoding::Float32Le, {0x00, 0x00, 0xC0, 0x3F}),
            (std::vector<float>{1.5f}));
  EXPECT_EQ(decode(SampleEncoding::Float32Be, {0x3F, 0xC0, 0x00, 0x00}),
            (std::vector<float>{1.5f}));
  EXPECT_EQ(decode(SampleEncoding::Float64Be, {0x3F, 0xF8, 0, 0, 0, 0, 0, 0}),
            (std::vector<float>{1.5f}));

  std::vector<uint8_t> nan32(4), nan64(8);
  const float fnan = std::numeric_limits<float>::quiet_NaN();
  const double dnan = std::numeric_limits<double>::quiet_NaN();
  std::memcpy(nan32.data(), &fnan, 4);
  std::memcpy(nan64.data(), &dnan, 8);
  EXPECT_TRUE(std::isnan(decode(SampleEncoding::Float32Le, nan32)[0]));
  EXPECT_EQ(decode(SampleEncoding::Float64Le, nan64)[0], 0.0f);

  const double third = 1.0 / 3.0;
  std::vector<uint8_t> b(8);
  std::memcpy(b.data(), &third, 8);
  EXPECT_EQ(decode(SampleEncoding::Float64Le, b)[0], static_cast<float>(third));
}

TEST(SampleEncode, ClampsTruncatesAndSaturates) {
  // ±0.9999 × 32768 = ±32764.7, truncated toward zero to ±32764.
  EXPECT_EQ(encode(SampleEncoding::Signed16Le, {1.0f, -1.0f, 1.5f, -7.0f, 0.9999f, -0.9999f}),
            (std::vector<uint8_t>{0xFF, 0x7F, 0x00, 0x80, 0xFF, 0x7F, 0x00, 0x80,
                                  0xFC, 0x7F, 0x04, 0x80}));
  EXPECT_EQ(encode(SampleEncoding::Signed8, {1.0f, -1.0f, 0.5f}),
            (std::vector<uint8_t>{0x7F, 0x80, 0x40}));
  EXPECT_EQ(encode(SampleEncoding::Unsigned8, {1.0f, -1.0f, 0.0f}),
            (std::vector<uint8_t>{0xFF, 0x00, 0x80}));
  EXPECT_EQ(encode(SampleEncoding::Signed24Be, {1.0f, -1.0f}),
            (std::vector<uint8_t>{0x7F, 0xFF, 0xFF, 0x80, 0x00, 0x00}));
  EXPECT_EQ(encode(SampleEncoding::Signed32Le, {1.0f, -1.0f, 0.5f}),
            (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0x80, 0, 0, 0, 0x40}));
  EXPECT_EQ(encode(SampleEncoding::Signed32Be, {-0.5f}),
            (std::vector<uint8_t>{0xC0, 0, 0, 0}));
}

TEST(SampleEncode, NanBecomesSilenceInIntegerLayouts) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (auto e : {SampleEncoding::Signed8, SampleEncoding::Signed16Le, SampleEncoding::Signed24Le,
                 SampleEncoding::Signed32Be}) {
    EXPECT_EQ(decode(e, encode(e, {nan})), (std::vector<float>{0.0f}));
  }
}

TEST(SampleEncode, FloatLayoutsAreNotClamped) {
  const std::vector<float> in{2.5f, -1e30f, 0.1f};
  for (auto e : {SampleEncoding::Float32Le, SampleEncoding::Float32Be, SampleEncoding::Float64Le,
                 SampleEncoding::Float64Be}) {
    EXPECT_EQ(decode(e, encode(e, in)), in);
  }
}

TEST(SampleRoundTrip, EveryIntegerCodeSurvivesDecodeThenEncode) {
  // Up to 24 bits decoding is exact, so re-encoding must give back the stored bytes.
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 65536 * 2; ++i) bytes.push_back(static_cast<uint8_t>(i * 7919 >> 3));
  for (size_t n = 0; n < 6; ++n) {
    const auto e = static_cast<SampleEncoding>(n);
    const size_t usable = bytes.size() / sample_width_bytes(e) * sample_width_bytes(e);
    EXPECT_EQ(encode(e, decode(e, bytes)),
              std::vector<uint8_t>(bytes.begin(), bytes.begin() + usable))
        << "encoding " << n;
  }
}

std::vector<float> expand(Companding law, std::vector<uint8_t> bytes) {
  std::vector<float> out;
  decode_companded(law, bytes, out);
  return out;
}

TEST(Companding, KnownCodes) {
  const float lsb = 1.0f / 32768.0f;
  EXPECT_EQ(expand(Companding::ALaw, {0xD5, 0x55, 0xAA, 0x2A}),
            (std::vector<float>{8 * lsb, -8 * lsb, 32256 * lsb, -32256 * lsb}));
  EXPECT_EQ(expand(Companding::MuLaw, {0xFF, 0x7F, 0x80, 0x00}),
            (std::vector<float>{0.0f, 0.0f, 32124 * lsb, -32124 * lsb}));
}

TEST(Companding, EncodeInvertsDecodeForEveryCode) {
  for (auto law : {Companding::ALaw, Companding::MuLaw}) {
    std::vector<uint8_t> all(256);
    for (int b = 0; b < 256; ++b) all[b] = static_cast<uint8_t>(b);
    std::vector<uint8_t> again;
    encode_companded(law, expand(law, all), again);
    for (int b = 0; b < 256; ++b) {
      // µ-law has two zeros (0x7F and 0xFF); both encode to positive zero.
      const int expected = law == Companding::MuLaw && b == 0x7F ? 0xFF : b;
      EXPECT_EQ(again[b], expected) << "law " << static_cast<int>(law) << " byte " << b;
    }
  }
}

TEST(Companding, EncodeSaturatesAndPicksTheNearestSegment) {
  std::vector<uint8_t> out;
  encode_companded(Companding::ALaw, std::vector<float>{1.0f, -1.0f, 0.0f}, out);
  // -1 LSB shifts right arithmetically to -1 and so lands on the first negative step.
  encode_companded(Companding::MuLaw, std::vector<float>{1.0f, -1.0f, 0.0f, -1.0f / 32768}, out);
  EXPECT_EQ(out, (std::vector<uint8_t>{0xAA, 0x2A, 0xD5, 0x80, 0x00, 0xFF, 0x7E}));
}

}  // namespace
}  // namespace murello
