#include <gtest/gtest.h>

#include "audiofile/file_builder.hpp"

namespace murello::testing {
namespace {

TEST(Container, ShortBuffersAreTruncatedWhateverTheyStartWith) {
  EXPECT_EQ(outcome(Bytes()), "input ended early: 12 needed, 0 available");
  EXPECT_EQ(outcome(Bytes().text("fLaC").fill(7)), "input ended early: 12 needed, 11 available");
  EXPECT_EQ(outcome(Bytes().text("RIFF").fill(4).text("WAV")),
            "input ended early: 12 needed, 11 available");
}

TEST(Container, UnrecognisedLeadingBytesOrFormType) {
  EXPECT_EQ(outcome(Bytes().text("RIFX").le(4, 4).text("WAVE")),
            "unrecognised container, leading bytes were 'RIFX'");
  EXPECT_EQ(outcome(Bytes().text("RIFF").le(4, 4).text("AVI ")),
            "unrecognised container, leading bytes were 'AVI '");
  EXPECT_EQ(outcome(Bytes().text("RF64").le(4, 4).text("AIFF")),
            "unrecognised container, leading bytes were 'AIFF'");
  EXPECT_EQ(outcome(Bytes().text("FORM").be(4, 4).text("WAVE")),
            "unrecognised container, leading bytes were 'WAVE'");
  EXPECT_EQ(outcome(Bytes().text("OggS").fill(20)),
            "unrecognised container, leading bytes were 'OggS'");
  EXPECT_EQ(outcome(Bytes().be(0x1A45DFA3, 4).fill(8)),
            "unrecognised container, leading bytes were '0x1a45dfa3'");
  // Case matters: ids are compared as raw bytes.
  EXPECT_EQ(outcome(Bytes().text("riff").le(4, 4).text("WAVE")),
            "unrecognised container, leading bytes were 'riff'");
  EXPECT_EQ(outcome(Bytes().text("RIFF").le(4, 4).text("wave")),
            "unrecognised container, leading bytes were 'wave'");
}

TEST(Container, EachFormReachesItsReader) {
  // The readers' own end-of-walk messages show which one ran.
  EXPECT_EQ(outcome(riff_file(Bytes())), "malformed input at byte 12: expected a fmt chunk");
  EXPECT_EQ(outcome(form_file(Bytes())), "malformed input at byte 12: expected a COMM chunk");
  EXPECT_EQ(outcome(form_file(Bytes(), "AIFC")),
            "malformed input at byte 12: expected a COMM chunk");
}

}  // namespace
}  // namespace murello::testing
