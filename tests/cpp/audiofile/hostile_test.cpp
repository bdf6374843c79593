#include <gtest/gtest.h>

#include "audiofile/file_builder.hpp"
#include "audiofile/mutation.hpp"

namespace murello::testing {
namespace {

Bytes ramp(size_t n) {
  Bytes b;
  for (size_t i = 0; i < n; ++i) b.le(i * 37 + 11, 1);
  return b;
}

std::vector<std::vector<uint8_t>> hand_built_files() {
  const Bytes rf64_rows = Bytes().text("LIST").le(3, 8);
  return {
      riff_file(Bytes().chunk_le("fmt ", wav_fmt(1, 2, 8000, 16))
                    .chunk_le("LIST", Bytes().text("odd"))
                    .chunk_le("data", ramp(40))
                    .chunk_le("cue ", Bytes().fill(9))).vec(),
      riff_file(Bytes().chunk_le("data", ramp(27))
                    .chunk_le("fmt ", wav_fmt_extensible(1, 3, 8000, 24))).vec(),
      Bytes().text("RF64").le(0xFFFFFFFF, 4).text("WAVE")
          .chunk_le("ds64", Bytes().le(0, 8).le(32, 8).le(0, 8).le(1, 4).append(rf64_rows))
          .chunk_le("LIST", Bytes().text("abc"), 0xFFFFFFFF)
          .chunk_le("fmt ", wav_fmt(3, 1, 8000, 64))
          .chunk_le("data", ramp(32), 0xFFFFFFFF)
          .vec(),
      form_file(Bytes().chunk_be("COMM", aiff_comm(1, 9, 24, 22050))
                    .chunk_be("SSND", ssnd(ramp(27), 3))
                    .chunk_be("ANNO", Bytes().text("x"))).vec(),
      form_file(Bytes().chunk_be("SSND", ssnd(ramp(24)))
                    .chunk_be("COMM", aiff_comm(2, 3, 32, 48000, "fl32")),
                "AIFC").vec(),
  };
}

TEST(HostileInput, EveryPrefixOfHandBuiltFiles) {
  for (const auto& file : hand_built_files()) expect_prefixes_fail_or_match(file);
}

TEST(HostileInput, ByteFlipsAnywhereInHandBuiltFiles) {
  uint32_t seed = 1;
  for (const auto& file : hand_built_files()) {
    expect_flips_decode_consistently(file, file.size(), 3000, seed++);
  }
}

TEST(HostileInput, SizesNearTheTopOfTheirRange) {
  // Chunk sizes that would wrap if added carelessly.
  for (uint32_t size : {0xFFFFFFFFu, 0xFFFFFFF8u, 0x80000000u}) {
    EXPECT_NE(outcome(riff_file(Bytes().chunk_le("LIST", Bytes().fill(8), size))), "ok");
    EXPECT_NE(outcome(form_file(Bytes().chunk_be("COMM", Bytes().fill(8), size))), "ok");
  }
  const Bytes huge_ds64 = Bytes().le(0, 8).le(~0ull, 8).le(0, 8).le(1, 4).text("fmt ").le(~0ull, 8);
  EXPECT_EQ(outcome(Bytes().text("RF64").le(0, 4).text("WAVE").chunk_le("ds64", huge_ds64)
                        .chunk_le("fmt ", wav_fmt(1, 1, 8000, 8), 0xFFFFFFFF)),
            "input ended early: 18446744073709551615 needed, 16 available");
  EXPECT_EQ(outcome(Bytes().text("RF64").le(0, 4).text("WAVE").chunk_le("ds64", huge_ds64)
                        .chunk_le("fmt ", wav_fmt(1, 1, 8000, 8))
                        .chunk_le("data", Bytes().fill(2), 0xFFFFFFFF)),
            "input ended early: 18446744073709551615 needed, 2 available");
}

}  // namespace
}  // namespace murello::testing
