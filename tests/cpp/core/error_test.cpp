#include "core/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>

namespace murello {
namespace {

size_t placeholder_count(std::string_view text) {
  size_t count = 0;
  for (size_t i = text.find('{'); i != std::string_view::npos; i = text.find('{', i + 1)) {
    ++count;
  }
  return count;
}

TEST(ErrorTable, HasEveryKindOnceAndEveryClassOnce) {
  ASSERT_EQ(kErrorKindCount, 60u);
  EXPECT_EQ(error_kind_name(ErrorKind::SampleRateOutOfRange), "SampleRateOutOfRange");
  EXPECT_EQ(error_kind_name(ErrorKind::OnnxBackendFailed), "OnnxBackendFailed");
  std::set<std::string_view> kinds;
  for (size_t i = 0; i < kErrorKindCount; ++i) {
    kinds.insert(error_kind_name(static_cast<ErrorKind>(i)));
  }
  EXPECT_EQ(kinds.size(), kErrorKindCount);
  // The registry: every kind's class plus the three bases that are no kind; every base
  // is a class of the table (or Python's Exception).
  std::set<std::string_view> classes{"Exception"};
  for (const ErrorClass& entry : error_classes()) {
    EXPECT_TRUE(classes.insert(entry.name).second) << entry.name;
  }
  for (const ErrorClass& entry : error_classes()) {
    EXPECT_TRUE(classes.count(entry.base)) << entry.name << " derives from " << entry.base;
  }
  EXPECT_EQ(error_classes().size(), 63u);
}

TEST(ErrorTable, RendersFieldsInTemplateOrder) {
  EXPECT_EQ(CoreError(ErrorKind::ChannelsOutOfRange).message(), "channels must be at least 1");
  EXPECT_EQ(CoreError(ErrorKind::DetectorSourceOutOfRange, uint16_t{3}, uint16_t{2}).message(),
            "the detector source names delivered channel 3; the delivered channel count is 2");
  EXPECT_EQ(CoreError(ErrorKind::MultipleDevicesMatch, "usb", "alsa:a\nalsa:b").message(),
            "Multiple devices match \"usb\":\nalsa:a\nalsa:b");
  EXPECT_EQ(CoreError(ErrorKind::MicrophoneNotFound, "x").message(),
            "No microphone found matching \"x\"");
  EXPECT_EQ(CoreError(ErrorKind::BlockSizeNotFrameAligned, uint64_t{5}, uint16_t{2}).message(),
            "the requested block size of 5 samples is not a whole number of 2-channel frames");
  EXPECT_EQ(CoreError(ErrorKind::ForkAfterOrtInit, uint32_t{10}, uint32_t{11})
                .message()
                .rfind("ONNX Runtime was initialized in pid 10 but is being used in pid 11. ", 0),
            0u);
  EXPECT_EQ(CoreError(ErrorKind::PermissionDenied).message(),
            "Microphone permission denied. Check your distribution's audio permissions "
            "(PulseAudio / PipeWire).");
}

TEST(ErrorTable, OrtPathInvalidSharesTheLoadTemplate) {
  std::string load = CoreError(ErrorKind::OrtLoadFailed, "/x", "why").message();
  std::string invalid = CoreError(ErrorKind::OrtPathInvalid, "/x", "why").message();
  EXPECT_EQ(load, invalid);
  EXPECT_EQ(load.rfind("murello: failed to load ONNX Runtime from /x: why. ", 0), 0u);
}

TEST(ErrorTable, TemplatesHaveAtMostThreeFields) {
  for (size_t i = 0; i < kErrorKindCount; ++i) {
    EXPECT_LE(placeholder_count(error_kind_template(static_cast<ErrorKind>(i))), 3u);
  }
}

TEST(ErrorFields, PathsAreShownWithReplacementCharacters) {
  std::filesystem::path path(std::string("/tmp/a\xff" "b.wav"));
  CoreError error(ErrorKind::FileReadFailed, path, os_error_text(ENOENT));
  EXPECT_EQ(error.fields()[0], "/tmp/a\xEF\xBF\xBD" "b.wav");
  EXPECT_EQ(error.message(),
            "Failed to read audio file /tmp/a\xEF\xBF\xBD" "b.wav: No such file or directory (os "
            "error 2)");
}

TEST(LossyUtf8, ReplacesEachMaximalInvalidPrefix) {
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(lossy_utf8("plain"), "plain");
  EXPECT_EQ(lossy_utf8("\xC3\xA9"), "\xC3\xA9");                // é stays
  EXPECT_EQ(lossy_utf8("a\xC3"), "a" + r);                      // cut short at the end
  EXPECT_EQ(lossy_utf8("\xE2\x82x"), r + "x");                  // one U+FFFD for E2 82
  EXPECT_EQ(lossy_utf8("\xC0\xAF"), r + r);                     // overlong: two bytes, two
  EXPECT_EQ(lossy_utf8("\xED\xA0\x80"), r + r + r);             // surrogate
  EXPECT_EQ(lossy_utf8("\xF0\x9F\x8E\xB5"), "\xF0\x9F\x8E\xB5");  // four-byte sequence
  EXPECT_EQ(lossy_utf8("\xF4\x90\x80\x80"), r + r + r + r);     // above U+10FFFF
}

}  // namespace
}  // namespace murello
