// Files whose writer could not go back to its header: streaming to a pipe, or stopped
// before it finished. Their placeholder sizes must give the frames that are there, while
// a real size that runs past the end stays an error, as a cut file should.
#include <gtest/gtest.h>

#include "audiofile/aiff/reader.hpp"
#include "audiofile/file_builder.hpp"
#include "audiofile/wav/reader.hpp"

namespace murello::testing {
namespace {

Bytes ramp16(size_t samples) {
  Bytes b;
  for (size_t i = 0; i < samples; ++i) b.le(i * 1000 + 7, 2);
  return b;
}

std::vector<float> ramp_values(size_t samples) {
  std::vector<float> v;
  for (size_t i = 0; i < samples; ++i) v.push_back(float(int16_t(i * 1000 + 7)) / 32768);
  return v;
}

// Stereo 16-bit WAV with the given RIFF and data size fields around `body`.
Bytes wav_with_sizes(uint32_t riff_size, uint32_t data_size, const Bytes& body) {
  Bytes file = Bytes().text("RIFF").le(riff_size, 4).text("WAVE")
                   .chunk_le("fmt ", wav_fmt(1, 2, 8000, 16)).text("data").le(data_size, 4);
  return file.append(body);
}

// The frames decoded, the frames the header reports, or the error.
std::string frames_of(const Bytes& file) {
  auto decoded = decode_audio(file);
  if (!decoded) return decoded.error().display();
  auto header = read_audio_header(file);
  const uint64_t frames = decoded->samples.size() / decoded->channels;
  if (!header || header->frames != frames) return "header disagrees";
  return std::to_string(frames) + " frames";
}

TEST(UnfinishedFiles, WavPlaceholderSizes) {
  struct Case {
    const char* writer;
    uint32_t riff_size;
    uint32_t data_size;
    size_t body_bytes;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"stopped before its header was updated", 8, 0, 40, "10 frames"},
      {"header written before any sample", 36, 0, 40, "10 frames"},
      {"piped, sizes all ones", 0xFFFFFFFF, 0xFFFFFFFF, 40, "10 frames"},
      {"piped or stopped, 2 GiB", 0x80000024, 0x80000000, 40, "10 frames"},
      {"piped, just under 2 GiB", 0x7FFFF024, 0x7FFFF000, 40, "10 frames"},
      {"the least placeholder", 0, 0x7F000000, 40, "10 frames"},
      {"cut inside a frame", 0xFFFFFFFF, 0xFFFFFFFF, 43, "10 frames"},
      {"nothing after the header", 0xFFFFFFFF, 0xFFFFFFFF, 0, "0 frames"},
      // Real sizes: a cut file is an error, an empty data chunk is empty.
      {"cut", 36 + 400, 400, 40, "input ended early: 400 needed, 40 available"},
      {"cut, large", 0x7EFFFFFF, 0x7EFFFFDB, 40,
       "input ended early: 2130706395 needed, 40 available"},
      {"real partial frame", 36 + 6, 6, 6, "input ended early: 4 needed, 2 available"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.writer);
    const Bytes file = wav_with_sizes(c.riff_size, c.data_size, ramp16(c.body_bytes / 2)
                                                                     .fill(c.body_bytes % 2));
    EXPECT_EQ(frames_of(file), c.expected);
  }
  const Bytes piped = wav_with_sizes(0xFFFFFFFF, 0xFFFFFFFF, ramp16(20));
  EXPECT_EQ(decode_audio(piped)->samples, ramp_values(20));
}

TEST(UnfinishedFiles, AnEmptyDataChunkInAFinishedFileStaysEmpty) {
  // The RIFF size covers what follows the data chunk: those are chunks, not samples.
  const Bytes rest = Bytes().chunk_le("LIST", Bytes().text("INFOabcd"));
  Bytes file = riff_file(Bytes().chunk_le("fmt ", wav_fmt(1, 2, 8000, 16))
                             .chunk_le("data", Bytes()).append(rest));
  EXPECT_EQ(frames_of(file), "0 frames");
  // So does one before the fmt chunk: it cannot be the last chunk.
  const Bytes data_first = Bytes().text("RIFF").le(8, 4).text("WAVE").chunk_le("data", Bytes())
                         .chunk_le("fmt ", wav_fmt(1, 2, 8000, 16)).append(ramp16(8));
  EXPECT_EQ(frames_of(data_first), "0 frames");
}

Bytes rf64_with_sizes(uint64_t riff_size, uint64_t data_size, const Bytes& body) {
  const Bytes ds64 = Bytes().le(riff_size, 8).le(data_size, 8).le(0, 8).le(0, 4);
  return Bytes().text("RF64").le(0xFFFFFFFF, 4).text("WAVE").chunk_le("ds64", ds64)
      .chunk_le("fmt ", wav_fmt(1, 2, 8000, 16)).text("data").le(0xFFFFFFFF, 4).append(body);
}

TEST(UnfinishedFiles, Rf64SizesAreRealExceptAnUnfinishedZero) {
  EXPECT_EQ(frames_of(rf64_with_sizes(0, 0, ramp16(20))), "10 frames");
  EXPECT_EQ(frames_of(rf64_with_sizes(0, 0xFFFFFFFFFFFFFFFF, ramp16(20))),
            "input ended early: 18446744073709551615 needed, 40 available");
  EXPECT_EQ(frames_of(rf64_with_sizes(0x80000000, 0x80000000, ramp16(20))),
            "input ended early: 2147483648 needed, 40 available");
}

// Mono 16-bit AIFF with the given FORM, numSampleFrames and SSND size fields; the SSND
// body is its offset and blockSize fields (both 0) and then `samples`.
Bytes aiff_with_sizes(uint32_t form_size, uint32_t frames, uint32_t ssnd_size,
                      const Bytes& samples) {
  return Bytes().text("FORM").be(form_size, 4).text("AIFF")
      .chunk_be("COMM", aiff_comm(1, frames, 16, 8000)).text("SSND").be(ssnd_size, 4)
      .be(0, 8).append(samples);
}

Bytes ramp16_be(size_t samples) {
  Bytes b;
  for (size_t i = 0; i < samples; ++i) b.be(i * 1000 + 7, 2);
  return b;
}

TEST(UnfinishedFiles, AiffPlaceholderSizes) {
  struct Case {
    const char* writer;
    uint32_t form_size;
    uint32_t frames;
    uint32_t ssnd_size;
    size_t samples;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"piped, every size 0", 0, 0, 0, 12, "12 frames"},
      {"stopped, SSND holding only its fields", 0xFFFFFFF8, 0, 8, 12, "12 frames"},
      {"piped, numSampleFrames from a 2 GiB guess", 0x7F00004C, 0x3F800000, 0x7F000004, 12,
       "12 frames"},
      {"SSND a placeholder, numSampleFrames real", 0xFFFFFFFF, 5, 0xFFFFFFFF, 12, "5 frames"},
      // Real sizes.
      {"numSampleFrames 0, SSND holding frames", 46 + 24, 0, 8 + 24, 12, "12 frames"},
      {"SSND longer than numSampleFrames", 46 + 25, 10, 8 + 25, 13, "10 frames"},
      {"SSND short of numSampleFrames", 46 + 24, 13, 8 + 24, 12,
       "input ended early: 26 needed, 24 available"},
      {"SSND cut", 46 + 100, 50, 108, 12, "input ended early: 108 needed, 32 available"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.writer);
    EXPECT_EQ(frames_of(aiff_with_sizes(c.form_size, c.frames, c.ssnd_size, ramp16_be(c.samples))),
              c.expected);
  }
  EXPECT_EQ(decode_audio(aiff_with_sizes(0, 0, 0, ramp16_be(12)))->samples, ramp_values(12));
  // An empty SSND chunk in a finished file: the FORM size covers the chunk after it.
  const Bytes finished = form_file(Bytes().chunk_be("COMM", aiff_comm(1, 0, 16, 8000))
                                       .chunk_be("SSND", ssnd(Bytes()))
                                       .chunk_be("ANNO", Bytes().text("note")));
  EXPECT_EQ(frames_of(finished), "0 frames");
  // A file cut inside the SSND chunk's own fields has no frames to give.
  const Bytes cut = Bytes().text("FORM").be(0, 4).text("AIFF")
                        .chunk_be("COMM", aiff_comm(1, 0, 16, 8000)).text("SSND").be(0, 4)
                        .be(0, 4);
  EXPECT_EQ(frames_of(cut), "input ended early: 8 needed, 4 available");
}

TEST(UnfinishedFiles, HeadersParseFromTheirOwnBytes) {
  // The header bytes alone tell where the frames start and whether they run to the end;
  // the file's length settles how many there are.
  const Bytes piped = wav_with_sizes(0xFFFFFFFF, 0xFFFFFFFF, ramp16(20).fill(1));
  auto head = parse_wav_header(std::span<const uint8_t>(piped).first(44));
  ASSERT_TRUE(head.ok()) << head.error().display();
  EXPECT_TRUE(head->extent.to_end);
  EXPECT_EQ(head->extent.frames_pos, 44u);
  EXPECT_EQ(head->extent.frame_bytes, 4u);
  EXPECT_EQ(locate_samples(*head, piped.size())->header.frames, 10u);
  EXPECT_EQ(locate_samples(*head, 44 + 7)->size_bytes, 4u);

  const Bytes finished = riff_file(Bytes().chunk_le("fmt ", wav_fmt(1, 2, 8000, 16))
                                       .chunk_le("data", ramp16(20)));
  head = parse_wav_header(std::span<const uint8_t>(finished).first(44));
  ASSERT_TRUE(head.ok()) << head.error().display();
  EXPECT_FALSE(head->extent.to_end);
  EXPECT_EQ(locate_samples(*head, finished.size())->header.frames, 10u);
  EXPECT_EQ(locate_samples(*head, 60).error().display(),
            "input ended early: 40 needed, 16 available");

  const Bytes aiff = aiff_with_sizes(0, 0, 0, ramp16_be(12));
  auto aiff_head = parse_aiff_header(std::span<const uint8_t>(aiff).first(54));
  ASSERT_TRUE(aiff_head.ok()) << aiff_head.error().display();
  EXPECT_TRUE(aiff_head->extent.to_end);
  EXPECT_EQ(aiff_head->extent.frames_pos, 54u);
  EXPECT_EQ(locate_samples(*aiff_head, aiff.size())->header.frames, 12u);
}

}  // namespace
}  // namespace murello::testing
