#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "audiofile/file_builder.hpp"

namespace murello::testing {
namespace {

const Bytes kFmtStereo16 = wav_fmt(1, 2, 44100, 16);

Bytes frames16(std::initializer_list<int16_t> values) {
  Bytes b;
  for (int16_t v : values) b.le(static_cast<uint16_t>(v), 2);
  return b;
}

DecodedAudio decode_ok(const Bytes& file) {
  auto r = decode_audio(file);
  EXPECT_TRUE(r.ok()) << r.error().display();
  return r ? std::move(r).value() : DecodedAudio{};
}

TEST(WavRead, CanonicalFileWithEmptyDataDecodesToNothing) {
  const Bytes file = riff_file(Bytes().chunk_le("fmt ", kFmtStereo16).chunk_le("data", Bytes()));
  ASSERT_EQ(file.size(), 44u);
  const DecodedAudio audio = decode_ok(file);
  EXPECT_TRUE(audio.samples.empty());
  EXPECT_EQ(audio.sample_rate_hz, 44100u);
  EXPECT_EQ(audio.channels, 2);
}

TEST(WavRead, StereoSixteenBitIsInterleavedAndScaled) {
  const Bytes file = riff_file(Bytes().chunk_le("fmt ", kFmtStereo16)
                                   .chunk_le("data", frames16({16384, -32768, 1, 32767})));
  EXPECT_EQ(decode_ok(file).samples,
            (std::vector<float>{0.5f, -1.0f, 1.0f / 32768, 32767.0f / 32768}));
}

TEST(WavRead, ChunkOrderPaddingAndWhichChunksCount) {
  const Bytes data = frames16({100, -100});
  const std::vector<float> expected{100.0f / 32768, -100.0f / 32768};
  // data before fmt; an odd LIST with its pad byte; a second data and a broken second fmt
  // after the walk has what it needs are never looked at.
  EXPECT_EQ(decode_ok(riff_file(Bytes().chunk_le("data", data)
                                    .chunk_le("LIST", Bytes().text("INFOx"))
                                    .chunk_le("fmt ", kFmtStereo16)
                                    .chunk_le("data", frames16({1, 2, 3, 4}))
                                    .chunk_le("fmt ", Bytes().fill(2))))
                .samples,
            expected);
  // A second fmt chunk before data is skipped unread, even if broken.
  EXPECT_EQ(decode_ok(riff_file(Bytes().chunk_le("fmt ", kFmtStereo16)
                                    .chunk_le("fmt ", Bytes().fill(3))
                                    .chunk_le("data", data)))
                .samples,
            expected);
  // Junk after the data that claims more bytes than exist is never read.
  EXPECT_EQ(decode_ok(riff_file(Bytes().chunk_le("fmt ", kFmtStereo16).chunk_le("data", data)
                                    .text("junk").le(0xFFFFFF, 4)))
                .samples,
            expected);
  // The RIFF size field is ignored, whatever it says.
  Bytes lying = riff_file(Bytes().chunk_le("fmt ", kFmtStereo16).chunk_le("data", data));
  lying[4] = lying[5] = lying[6] = lying[7] = 0;
  EXPECT_EQ(decode_ok(lying).samples, expected);
}

TEST(WavRead, OddLastChunkWithoutItsPadByteIsAccepted) {
  Bytes file = riff_file(Bytes().chunk_le("fmt ", wav_fmt(1, 1, 8000, 8))
                             .chunk_le("data", Bytes().le(0x80, 1).le(0xFF, 1).le(0x00, 1)));
  std::vector<uint8_t> without_pad = file.vec();
  without_pad.pop_back();
  EXPECT_EQ(decode_ok(Bytes(without_pad)).samples,
            (std::vector<float>{0.0f, 127.0f / 128, -1.0f}));
}

TEST(WavRead, EveryFormatCodeDecodes) {
  struct Case {
    Bytes fmt;
    Bytes data;
    std::vector<float> expected;
  };
  const float third = 1.0f / 3.0f;
  uint32_t third_bits;
  std::memcpy(&third_bits, &third, 4);
  const double eighth = 0.125;
  uint64_t eighth_bits;
  std::memcpy(&eighth_bits, &eighth, 8);
  const std::vector<Case> cases = {
      {wav_fmt(1, 1, 8000, 8), Bytes().le(0x40, 1), {-0.5f}},
      {wav_fmt(1, 1, 8000, 24), Bytes().le(0xC00000, 3), {-0.5f}},
      {wav_fmt(1, 1, 8000, 32), Bytes().le(0x40000000, 4), {0.5f}},
      {wav_fmt(3, 1, 8000, 32), Bytes().le(third_bits, 4), {third}},
      {wav_fmt(3, 1, 8000, 64), Bytes().le(eighth_bits, 8), {0.125f}},
      {wav_fmt(6, 1, 8000, 8), Bytes().le(0xD5, 1), {8.0f / 32768}},
      {wav_fmt(7, 1, 8000, 8), Bytes().le(0xFF, 1), {0.0f}},
      {wav_fmt_extensible(3, 1, 8000, 32), Bytes().le(third_bits, 4), {third}},
      {wav_fmt_extensible(1, 1, 8000, 16), frames16({-16384}), {-0.5f}},
      {wav_fmt_extensible(7, 1, 8000, 8), Bytes().le(0x00, 1), {-32124.0f / 32768}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode_ok(riff_file(Bytes().chunk_le("fmt ", c.fmt).chunk_le("data", c.data)))
                  .samples,
              c.expected);
  }
}

std::string with_fmt(const Bytes& fmt, const Bytes& data = Bytes()) {
  return outcome(riff_file(Bytes().chunk_le("fmt ", fmt).chunk_le("data", data)));
}

TEST(WavRead, MalformedFmtChunks) {
  // The fmt header sits at byte 12, its fields are counted from there.
  EXPECT_EQ(with_fmt(Bytes().fill(14)),
            "malformed input at byte 12: expected a fmt chunk of at least 16 bytes");
  EXPECT_EQ(with_fmt(wav_fmt(1, 1, 8000, 16).fill(65554 - 16)),
            "malformed input at byte 12: expected a fmt chunk of at most 65553 bytes, which is "
            "all cbSize can count");
  EXPECT_EQ(with_fmt(wav_fmt(1, 1, 8000, 16).fill(65553 - 16)), "ok");
  EXPECT_EQ(with_fmt(wav_fmt(1, 1, 0, 16)),
            "malformed input at byte 24: expected a non-zero sample rate");
  // The fmt chunk may come second: offsets follow its header.
  EXPECT_EQ(outcome(riff_file(Bytes().chunk_le("LIST", Bytes().fill(4))
                                  .chunk_le("fmt ", wav_fmt(1, 1, 0, 16)))),
            "malformed input at byte 36: expected a non-zero sample rate");

  const std::string extension =
      "malformed input at byte 36: expected a 22-byte WAVE_FORMAT_EXTENSIBLE extension after "
      "cbSize";
  Bytes short_cb = wav_fmt_extensible(1, 1, 8000, 16);
  short_cb[16] = 21;
  EXPECT_EQ(with_fmt(short_cb), extension);
  EXPECT_EQ(with_fmt(wav_fmt(0xFFFE, 1, 8000, 16).le(22, 2)), extension);
  std::vector<uint8_t> short_chunk = wav_fmt_extensible(1, 1, 8000, 16).vec();
  short_chunk.pop_back();
  EXPECT_EQ(with_fmt(Bytes(short_chunk)), extension);
}

TEST(WavRead, UnsupportedFormats) {
  EXPECT_EQ(with_fmt(wav_fmt(1, 0, 8000, 16)), "0-channel audio is not a supported layout");
  EXPECT_EQ(with_fmt(wav_fmt(2, 1, 8000, 4)),
            "container names WAVE format tag 0x0002, which this build cannot decode");
  EXPECT_EQ(with_fmt(wav_fmt(0x55, 1, 8000, 0)),
            "container names WAVE format tag 0x0055, which this build cannot decode");
  EXPECT_EQ(with_fmt(wav_fmt(1, 1, 8000, 0)),
            "WAVE format tag 0x0001 at 0 bits per sample is not a supported sample format");
  EXPECT_EQ(with_fmt(wav_fmt(1, 1, 8000, 40)),
            "WAVE format tag 0x0001 at 40 bits per sample is not a supported sample format");
  EXPECT_EQ(with_fmt(wav_fmt(3, 1, 8000, 16)),
            "WAVE format tag 0x0003 at 16 bits per sample is not a supported sample format");
  EXPECT_EQ(with_fmt(wav_fmt(7, 1, 8000, 16)),
            "WAVE format tag 0x0007 at 16 bits per sample is not a supported sample format");
  EXPECT_EQ(with_fmt(wav_fmt_extensible(3, 1, 8000, 24)),
            "WAVE format tag 0x0003 at 24 bits per sample is not a supported sample format");
  EXPECT_EQ(with_fmt(wav_fmt_extensible(0xFFFE, 1, 8000, 16)),
            "container names WAVE format tag 0xfffe, which this build cannot decode");
  // A sub-format GUID off the base GUID is named in canonical text.
  Bytes foreign = wav_fmt_extensible(1, 1, 8000, 16);
  foreign[40 - 1] = 0x70;
  EXPECT_EQ(with_fmt(foreign),
            "container names codec '00000001-0000-0010-8000-00aa00389b70', which this build "
            "cannot decode");
  Bytes nonzero = wav_fmt_extensible(1, 1, 8000, 16);
  nonzero[26] = 0x12;
  nonzero[27] = 0x34;
  EXPECT_EQ(with_fmt(nonzero),
            "container names codec '34120001-0000-0010-8000-00aa00389b71', which this build "
            "cannot decode");
}

TEST(WavRead, MissingChunks) {
  EXPECT_EQ(outcome(riff_file(Bytes().chunk_le("data", Bytes()))),
            "malformed input at byte 12: expected a fmt chunk");
  EXPECT_EQ(outcome(riff_file(Bytes().chunk_le("fmt ", kFmtStereo16))),
            "malformed input at byte 12: expected a data chunk");
  // Fewer than 8 trailing bytes end the walk quietly.
  EXPECT_EQ(outcome(riff_file(Bytes().chunk_le("fmt ", kFmtStereo16).text("data123"))),
            "malformed input at byte 12: expected a data chunk");
}

TEST(WavRead, TruncatedChunksAndPartialFrames) {
  EXPECT_EQ(with_fmt(kFmtStereo16, Bytes().fill(4001)), "input ended early: 4 needed, 1 available");
  EXPECT_EQ(with_fmt(wav_fmt(1, 3, 8000, 24), Bytes().fill(20)),
            "input ended early: 9 needed, 2 available");
  // data at 36 declares 100 bytes but 10 follow its header.
  EXPECT_EQ(outcome(riff_file(Bytes().chunk_le("fmt ", kFmtStereo16)
                                  .chunk_le("data", Bytes().fill(10), 100))),
            "input ended early: 100 needed, 10 available");
  // Sizes below the streaming writers' placeholders are real sizes, however large.
  EXPECT_EQ(outcome(riff_file(Bytes().chunk_le("fmt ", kFmtStereo16)
                                  .chunk_le("data", Bytes().fill(8), 0x7EFFFFFC))),
            "input ended early: 2130706428 needed, 8 available");
}

Bytes ds64(uint64_t data_size, const Bytes& rows = Bytes(), uint32_t row_count = 0) {
  return Bytes().le(0, 8).le(data_size, 8).le(0, 8).le(row_count, 4).append(rows);
}

Bytes rf64_file(const Bytes& ds64_body, const Bytes& chunks) {
  return Bytes().text("RF64").le(0xFFFFFFFF, 4).text("WAVE").chunk_le("ds64", ds64_body)
      .append(chunks);
}

TEST(Rf64Read, SizesComeFromTheOverrideTable) {
  const Bytes data = frames16({1000, -1000, 5, 6});
  const std::vector<float> expected{1000.0f / 32768, -1000.0f / 32768, 5.0f / 32768,
                                    6.0f / 32768};
  EXPECT_EQ(decode_ok(rf64_file(ds64(data.size()),
                                Bytes().chunk_le("fmt ", kFmtStereo16)
                                    .chunk_le("data", data, 0xFFFFFFFF)))
                .samples,
            expected);
  // Rows of the ds64 table apply to other chunks; the first matching row wins.
  const Bytes rows = Bytes().text("LIST").le(5, 8).text("LIST").le(99, 8);
  EXPECT_EQ(decode_ok(rf64_file(ds64(data.size(), rows, 2),
                                Bytes().chunk_le("LIST", Bytes().fill(5), 0xFFFFFFFF)
                                    .chunk_le("fmt ", kFmtStereo16)
                                    .chunk_le("data", data, 0xFFFFFFFF)))
                .samples,
            expected);
  // A chunk with no row keeps 0xFFFFFFFF as its size.
  EXPECT_EQ(outcome(rf64_file(ds64(data.size()),
                              Bytes().chunk_le("fmt ", kFmtStereo16, 0xFFFFFFFF))),
            "input ended early: 4294967295 needed, 16 available");
  // An ordinary data size in RF64 is used as it stands.
  EXPECT_EQ(decode_ok(rf64_file(ds64(7), Bytes().chunk_le("fmt ", kFmtStereo16)
                                             .chunk_le("data", data)))
                .samples,
            expected);
  // An odd ds64 chunk is followed by its pad byte.
  EXPECT_EQ(decode_ok(rf64_file(ds64(data.size()).fill(1), Bytes().chunk_le("fmt ", kFmtStereo16)
                                                               .chunk_le("data", data, -1)))
                .samples,
            expected);
}

TEST(Rf64Read, PreambleErrors) {
  EXPECT_EQ(outcome(Bytes().text("RF64").le(0, 4).text("WAVE").text("ds64")),
            "input ended early: 20 needed, 16 available");
  EXPECT_EQ(outcome(Bytes().text("RF64").le(0, 4).text("WAVE").text("ds64").le(28, 4).fill(27)),
            "input ended early: 28 needed, 27 available");
  Bytes not_ds64 = rf64_file(ds64(0), Bytes());
  not_ds64[12] = 'D';
  EXPECT_EQ(outcome(not_ds64),
            "malformed input at byte 12: expected a ds64 chunk immediately after the RF64 form "
            "type");
  EXPECT_EQ(outcome(rf64_file(ds64(0).fill(65537 - 28), Bytes())),
            "malformed input at byte 12: expected a ds64 chunk of at most 65536 bytes");
  EXPECT_EQ(outcome(rf64_file(Bytes().fill(27), Bytes())),
            "malformed input at byte 12: expected a ds64 chunk of at least 28 bytes");
  EXPECT_EQ(outcome(rf64_file(ds64(0, Bytes().fill(23), 2), Bytes())),
            "malformed input at byte 12: expected a ds64 table length that fits the ds64 chunk");
  EXPECT_EQ(outcome(rf64_file(ds64(0, Bytes().fill(24), 0xFFFFFFFF), Bytes())),
            "malformed input at byte 12: expected a ds64 table length that fits the ds64 chunk");
  // A full-size table is fine; the walk then finds nothing.
  EXPECT_EQ(outcome(rf64_file(ds64(0, Bytes().fill(24), 2), Bytes())),
            "malformed input at byte 12: expected a fmt chunk");
}

TEST(WavRead, SampleSlotsAndDepthsBetweenWholeBytes) {
  struct Case {
    const char* what;
    Bytes fmt;
    Bytes data;
    std::vector<float> expected;
    uint16_t bits_reported;
  };
  const std::vector<Case> cases = {
      // 24-bit capture in 4-byte slots: the low three bytes, whatever the fourth holds.
      {"24 in 4", wav_fmt(1, 2, 48000, 24, 8),
       Bytes().le(0xFF400000, 4).le(0x00C00000, 4).le(0x7F000001, 4).le(0x80FFFFFF, 4),
       {0.5f, -0.5f, 1.0f / 8388608, -1.0f / 8388608}, 24},
      {"16 in 4", wav_fmt(1, 1, 8000, 16, 4), Bytes().le(0x1234C000, 4).le(0x00004000, 4),
       {-0.5f, 0.5f}, 16},
      {"float in 8", wav_fmt(3, 1, 8000, 32, 8),
       Bytes().le(std::bit_cast<uint32_t>(0.25f), 4).le(0xFFFFFFFF, 4), {0.25f}, 32},
      // Depths between whole bytes hold their value in the high bits; the low bits are
      // decoded as stored.
      {"12 in 2", wav_fmt(1, 1, 8000, 12), Bytes().le(0x4000, 2).le(0xC008, 2),
       {0.5f, -0x3FF8 / 32768.0f}, 12},
      {"20 in 3", wav_fmt(1, 1, 8000, 20), Bytes().le(0x400000, 3), {0.5f}, 20},
      {"5 in 1", wav_fmt(1, 1, 8000, 5), Bytes().le(0xC0, 1), {0.5f}, 5},
      {"20 extensible", wav_fmt_extensible(1, 1, 8000, 20), Bytes().le(0xC00000, 3), {-0.5f}, 20},
      {"20 in 4", wav_fmt(1, 1, 8000, 20, 4), Bytes().le(0x00C00000, 4), {-0.5f}, 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes file = riff_file(Bytes().chunk_le("fmt ", c.fmt).chunk_le("data", c.data));
    EXPECT_EQ(decode_ok(file).samples, c.expected);
    auto header = read_audio_header(file);
    ASSERT_TRUE(header.ok());
    EXPECT_EQ(header->bits_per_sample, c.bits_reported);
    EXPECT_EQ(header->frames, c.expected.size() / c.fmt.vec()[2]);
  }
  // A slot is one frame's share: a partial last frame is still a partial frame.
  EXPECT_EQ(with_fmt(wav_fmt(1, 2, 8000, 24, 8), Bytes().fill(12)),
            "input ended early: 8 needed, 4 available");
}

TEST(WavRead, BlockAlignmentsThatCannotHoldTheSamples) {
  // nBlockAlign sits at fmt header 12 + 20.
  const std::string refused =
      "malformed input at byte 32: expected a block alignment of one equal slot per channel, "
      "each as wide as a sample";
  EXPECT_EQ(with_fmt(wav_fmt(1, 2, 8000, 16, 2)), refused);   // one channel's width
  EXPECT_EQ(with_fmt(wav_fmt(1, 2, 8000, 24, 4)), refused);
  EXPECT_EQ(with_fmt(wav_fmt(1, 1, 8000, 16, 0)), refused);
  EXPECT_EQ(with_fmt(wav_fmt(1, 2, 8000, 16, 5)), refused);   // not one slot per channel
  EXPECT_EQ(with_fmt(wav_fmt(3, 1, 8000, 64, 4)), refused);
  // Codecs keep their own refusal, whatever their alignment.
  EXPECT_EQ(with_fmt(wav_fmt(2, 1, 8000, 4, 2048)),
            "container names WAVE format tag 0x0002, which this build cannot decode");
  EXPECT_EQ(with_fmt(wav_fmt(0x31, 1, 8000, 0, 65)),
            "container names WAVE format tag 0x0031, which this build cannot decode");
}

}  // namespace
}  // namespace murello::testing
