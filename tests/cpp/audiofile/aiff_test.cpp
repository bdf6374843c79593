#include <gtest/gtest.h>

#include <bit>

#include "audiofile/file_builder.hpp"

namespace murello::testing {
namespace {

DecodedAudio decode_ok(const Bytes& file) {
  auto r = decode_audio(file);
  EXPECT_TRUE(r.ok()) << r.error().display();
  return r ? std::move(r).value() : DecodedAudio{};
}

// A one-channel AIFF-C file of the given compression with the stored sample bytes.
Bytes aifc_mono(std::string_view compression, uint16_t bits, uint32_t frames, const Bytes& data) {
  return form_file(Bytes().chunk_be("COMM", aiff_comm(1, frames, bits, 8000, compression))
                       .chunk_be("SSND", ssnd(data)),
                   "AIFC");
}

TEST(AiffRead, PlainAiffIsBigEndian) {
  const Bytes file = form_file(Bytes().chunk_be("FVER", Bytes().be(0xA2805140, 4))
                                   .chunk_be("COMM", aiff_comm(2, 2, 16, 44100))
                                   .chunk_be("SSND", ssnd(Bytes().be(0x4000, 2).be(0x8000, 2)
                                                              .be(0x0001, 2).be(0x7FFF, 2))));
  const DecodedAudio audio = decode_ok(file);
  EXPECT_EQ(audio.sample_rate_hz, 44100u);
  EXPECT_EQ(audio.channels, 2);
  EXPECT_EQ(audio.samples, (std::vector<float>{0.5f, -1.0f, 1.0f / 32768, 32767.0f / 32768}));
}

TEST(AiffRead, EveryCompressionTypeDecodes) {
  struct Case {
    std::string_view type;
    uint16_t bits;
    Bytes data;
    float expected;
  };
  const std::vector<Case> cases = {
      {"NONE", 8, Bytes().be(0xC0, 1), -0.5f},
      {"twos", 16, Bytes().be(0xC000, 2), -0.5f},
      {"NONE", 24, Bytes().be(0x400000, 3), 0.5f},
      {"twos", 32, Bytes().be(0xC0000000, 4), -0.5f},
      {"sowt", 8, Bytes().be(0xC0, 1), -0.5f},  // byte order is moot at one byte: signed
      {"sowt", 16, Bytes().le(0xC000, 2), -0.5f},
      {"sowt", 24, Bytes().le(0x400000, 3), 0.5f},
      {"sowt", 32, Bytes().le(0xC0000000, 4), -0.5f},
      {"raw ", 8, Bytes().be(0x40, 1), -0.5f},
      {"fl32", 32, Bytes().be(std::bit_cast<uint32_t>(0.75f), 4), 0.75f},
      {"FL32", 32, Bytes().be(std::bit_cast<uint32_t>(-2.0f), 4), -2.0f},
      {"fl64", 64, Bytes().be(std::bit_cast<uint64_t>(0.25), 8), 0.25f},
      {"FL64", 64, Bytes().be(std::bit_cast<uint64_t>(0.25), 8), 0.25f},
      {"alaw", 16, Bytes().be(0xD5, 1), 8.0f / 32768},
      {"ALAW", 8, Bytes().be(0x55, 1), -8.0f / 32768},
      {"ulaw", 16, Bytes().be(0x80, 1), 32124.0f / 32768},
      {"ULAW", 3, Bytes().be(0x00, 1), -32124.0f / 32768},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode_ok(aifc_mono(c.type, c.bits, 1, c.data)).samples,
              std::vector<float>{c.expected})
        << c.type << " " << c.bits;
  }
}

TEST(AiffRead, UnsupportedFormats) {
  EXPECT_EQ(outcome(aifc_mono("ima4", 16, 0, Bytes())),
            "container names four-CC 'ima4', which this build cannot decode");
  EXPECT_EQ(outcome(aifc_mono("NONE", 40, 0, Bytes())),
            "four-CC 'NONE' at 40 bits per sample is not a supported sample format");
  EXPECT_EQ(outcome(aifc_mono("twos", 0, 0, Bytes())),
            "four-CC 'twos' at 0 bits per sample is not a supported sample format");
  EXPECT_EQ(outcome(aifc_mono("raw ", 16, 0, Bytes())),
            "four-CC 'raw ' at 16 bits per sample is not a supported sample format");
  EXPECT_EQ(outcome(aifc_mono("fl32", 64, 0, Bytes())),
            "four-CC 'fl32' at 64 bits per sample is not a supported sample format");
  EXPECT_EQ(outcome(aifc_mono("FL64", 32, 0, Bytes())),
            "four-CC 'FL64' at 32 bits per sample is not a supported sample format");
  // Plain AIFF is read as NONE.
  EXPECT_EQ(outcome(form_file(Bytes().chunk_be("COMM", aiff_comm(1, 0, 33, 8000)))),
            "four-CC 'NONE' at 33 bits per sample is not a supported sample format");
  EXPECT_EQ(outcome(form_file(Bytes().chunk_be("COMM", aiff_comm(0, 0, 16, 8000)))),
            "0-channel audio is not a supported layout");
}

Bytes comm_with_rate(uint16_t sign_exponent, uint64_t mantissa) {
  return Bytes().be(1, 2).be(0, 4).be(16, 2).extended(sign_exponent, mantissa);
}

std::string rate_outcome(uint16_t sign_exponent, uint64_t mantissa) {
  const Bytes comm = comm_with_rate(sign_exponent, mantissa);
  auto r = decode_audio(form_file(Bytes().chunk_be("COMM", comm)));
  if (!r) return r.error().display();
  return std::to_string(r->sample_rate_hz);
}

TEST(AiffRead, ExtendedSampleRates) {
  const std::string bad =
      "malformed input at byte 28: expected a positive integral sample rate that fits in 32 bits";
  constexpr uint64_t kTop = 1ull << 63;
  EXPECT_EQ(rate_outcome(0x400E, 0xAC44000000000000), "44100");
  EXPECT_EQ(rate_outcome(0x3FFF, kTop), "1");
  EXPECT_EQ(rate_outcome(0x401E, 0xFFFFFFFF00000000), "4294967295");
  // The integer bit need not be set: an unnormalised 8000.
  EXPECT_EQ(rate_outcome(0x400C, 8000ull << 50), "8000");
  EXPECT_EQ(rate_outcome(0x401F, kTop), bad);                  // 2^32
  EXPECT_EQ(rate_outcome(0x400E, 0xAC44800000000000), bad);    // 44100.5
  EXPECT_EQ(rate_outcome(0x3FFE, kTop), bad);                  // 0.5
  EXPECT_EQ(rate_outcome(0xC00E, 0xAC44000000000000), bad);    // -44100
  EXPECT_EQ(rate_outcome(0x0000, 0), bad);                     // +0
  EXPECT_EQ(rate_outcome(0x8000, 0), bad);                     // -0
  EXPECT_EQ(rate_outcome(0x7FFF, 0), bad);                     // infinity
  EXPECT_EQ(rate_outcome(0x7FFF, kTop | 1), bad);              // NaN
  EXPECT_EQ(rate_outcome(0x7FFE, kTop), bad);                  // beyond double: infinite
  EXPECT_EQ(rate_outcome(0x0000, 1), bad);                     // smallest denormal: 0
  EXPECT_EQ(rate_outcome(0x0001, kTop), bad);
}

TEST(AiffRead, CommChunkBounds) {
  EXPECT_EQ(outcome(form_file(Bytes().chunk_be("COMM", Bytes().fill(16)))),
            "malformed input at byte 12: expected a COMM chunk of at least 18 bytes, 22 in AIFF-C");
  EXPECT_EQ(outcome(form_file(Bytes().chunk_be("COMM", aiff_comm(1, 0, 16, 8000)), "AIFC")),
            "malformed input at byte 12: expected a COMM chunk of at least 18 bytes, 22 in AIFF-C");
  EXPECT_EQ(outcome(form_file(Bytes().chunk_be("COMM", aiff_comm(1, 0, 16, 8000).fill(261)))),
            "malformed input at byte 12: expected a COMM chunk of at most 278 bytes, which is all "
            "a compressionName can need");
  // A plain AIFF COMM may carry extra bytes up to that limit.
  EXPECT_EQ(outcome(form_file(Bytes().chunk_be("COMM", aiff_comm(1, 0, 16, 8000).fill(260)))),
            "ok");

  // compressionName: count + 23 must not exceed the chunk size.
  auto comm_c = [](uint8_t count, size_t text_bytes) {
    Bytes body = aiff_comm(1, 0, 16, 8000).text("NONE").be(count, 1).fill(text_bytes, 'x');
    return outcome(form_file(Bytes().chunk_be("COMM", body), "AIFC"));
  };
  const std::string name_bad =
      "malformed input at byte 42: expected a compressionName that fits its COMM chunk";
  EXPECT_EQ(comm_c(1, 1), "ok");  // 24 bytes: the text ends exactly at the chunk's end
  EXPECT_EQ(comm_c(2, 1), name_bad);  // 2 + 23 > 24: one byte would lie outside
  EXPECT_EQ(comm_c(4, 1), name_bad);
  EXPECT_EQ(comm_c(1, 0), name_bad);  // 23 bytes: the count byte alone
  EXPECT_EQ(comm_c(0, 0), "ok");
  EXPECT_EQ(comm_c(255, 255), "ok");  // 278 bytes
  // Exactly 22 bytes: no compressionName at all.
  EXPECT_EQ(outcome(form_file(Bytes().chunk_be("COMM", aiff_comm(1, 0, 16, 8000).text("sowt")),
                              "AIFC")),
            "ok");
}

std::string with_ssnd(const Bytes& ssnd_body, uint32_t frames = 2) {
  return outcome(form_file(Bytes().chunk_be("COMM", aiff_comm(1, frames, 16, 8000))
                               .chunk_be("SSND", ssnd_body)));
}

TEST(AiffRead, SsndRules) {
  // COMM occupies 12..37, SSND's header is at 38.
  EXPECT_EQ(with_ssnd(ssnd(Bytes().fill(4))), "ok");
  EXPECT_EQ(with_ssnd(Bytes().fill(7)),
            "malformed input at byte 38: expected an SSND chunk of at least 8 bytes");
  EXPECT_EQ(with_ssnd(Bytes().be(5, 4).be(0, 4).fill(4)),
            "malformed input at byte 38: expected an SSND offset that fits inside the SSND chunk");
  EXPECT_EQ(with_ssnd(Bytes().be(0xFFFFFFFF, 4).be(0, 4).fill(4)),
            "malformed input at byte 38: expected an SSND offset that fits inside the SSND chunk");
  EXPECT_EQ(with_ssnd(ssnd(Bytes().fill(3))), "input ended early: 4 needed, 3 available");
  EXPECT_EQ(with_ssnd(ssnd(Bytes().fill(4)), 0xFFFFFFFF),
            "input ended early: 8589934590 needed, 4 available");
  // The offset skips that many bytes before the first frame.
  const DecodedAudio audio = decode_ok(form_file(
      Bytes().chunk_be("COMM", aiff_comm(1, 2, 16, 8000))
          .chunk_be("SSND", ssnd(Bytes().be(0x4000, 2).be(0xC000, 2), 4))));
  EXPECT_EQ(audio.samples, (std::vector<float>{0.5f, -0.5f}));
}

TEST(AiffRead, WalkOrderAndMissingChunks) {
  const Bytes comm = aiff_comm(1, 1, 16, 8000);
  const Bytes sound = ssnd(Bytes().be(0x2000, 2));
  // SSND first; odd chunks with pad bytes; later COMM and SSND chunks are ignored.
  EXPECT_EQ(decode_ok(form_file(Bytes().chunk_be("SSND", sound)
                                    .chunk_be("NAME", Bytes().text("odd"))
                                    .chunk_be("COMM", comm)
                                    .chunk_be("SSND", ssnd(Bytes().fill(6)))
                                    .chunk_be("COMM", Bytes().fill(2))))
                .samples,
            std::vector<float>{0.25f});
  EXPECT_EQ(outcome(form_file(Bytes().chunk_be("SSND", sound))),
            "malformed input at byte 12: expected a COMM chunk");
  EXPECT_EQ(outcome(form_file(Bytes().chunk_be("COMM", comm))),
            "malformed input at byte 12: expected an SSND chunk");
  EXPECT_EQ(outcome(form_file(Bytes().chunk_be("COMM", comm).chunk_be("SSND", sound, 50))),
            "input ended early: 50 needed, 10 available");

  // No frames and no SSND: empty audio at the declared rate and channel count.
  const DecodedAudio empty =
      decode_ok(form_file(Bytes().chunk_be("COMM", aiff_comm(3, 0, 24, 96000, "NONE")), "AIFC"));
  EXPECT_TRUE(empty.samples.empty());
  EXPECT_EQ(empty.sample_rate_hz, 96000u);
  EXPECT_EQ(empty.channels, 3);
}

}  // namespace
}  // namespace murello::testing
