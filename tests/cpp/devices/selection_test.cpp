#include "devices/selection.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "devices/lower_case.hpp"

namespace murello {
namespace {

TEST(LowerCase, FollowsTheFullUnicodeMapping) {
  EXPECT_EQ(lower_case("ÄUßERES Mikrofon"), "äußeres mikrofon");
  EXPECT_EQ(lower_case("МИКРОФОН Ёж"), "микрофон ёж");
  EXPECT_EQ(lower_case("ΜΙΚΡΌΦΩΝΟ"), "μικρόφωνο");
  // A capital sigma ends a word as the final sigma, elsewhere as the small one.
  EXPECT_EQ(lower_case("ΟΔΟΣ ΣΑΣ"), "οδος σας");
  EXPECT_EQ(lower_case("ΣΑ Σ"), "σα σ");
  // One code point can lower to two: a capital I with a dot keeps its dot as a mark.
  EXPECT_EQ(lower_case("İ"), "i\xCC\x87");
  // Outside the Basic Multilingual Plane (Deseret) and title-case digraphs.
  EXPECT_EQ(lower_case("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");
  EXPECT_EQ(lower_case("ǅ"), "ǆ");
  EXPECT_EQ(lower_case("hw:CARD=PCH,DEV=0"), "hw:card=pch,dev=0");
}

TEST(LowerCase, ReplacesInvalidBytes) {
  EXPECT_EQ(lower_case("A\xFF" "B"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(lower_case("\xC3"), "\xEF\xBF\xBD");          // cut off
  EXPECT_EQ(lower_case("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
  EXPECT_EQ(lower_case("\xED\xA0\x80").substr(0, 3), "\xEF\xBF\xBD");  // a surrogate
}

// Each test writes the device lists it needs and points ALSA at them alone. Every list
// goes to a file of its own: ALSA reads its configuration again when the set of files
// changes, as it would after a device was plugged in.
class Selection : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& path : paths_) unlink(path.c_str());
  }

  const std::string& next_path() {
    static int counter = 0;
    paths_.push_back(std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                     "/murello-selection-" + std::to_string(getpid()) + "-" +
                     std::to_string(++counter) + ".conf");
    setenv("ALSA_CONFIG_PATH", paths_.back().c_str(), 1);
    return paths_.back();
  }

  // Writes a configuration of null PCMs: {pcm name, hint description}.
  void devices(std::initializer_list<std::pair<std::string, std::string>> pcms,
               bool with_default = true) {
    std::ofstream out(next_path(), std::ios::trunc);
    if (with_default) out << "pcm.!default { type null }\n";
    for (const auto& [name, description] : pcms) {
      out << "pcm." << name << " { type null hint { show on description \"" << description
          << "\" } }\n";
    }
  }

  static std::string message_of(const DeviceArgument& argument,
                                Direction direction = Direction::Capture) {
    auto selected = select_device(argument, direction);
    return selected ? "selected " + selected->pcm_name : selected.error().message();
  }

  std::vector<std::string> paths_;
};

TEST_F(Selection, NameMatchesIgnoringCaseAcrossScripts) {
  devices({{"usb", "USB Mic"},
           {"usbarray", "usb mic array"},
           {"outer", "ÄUßERES Mikrofon"},
           {"studio", "МИКРОФОН Студия"},
           {"greek", "ΜΙΚΡΌΦΩΝΟ ΟΔΟΣ"},
           {"out", "Speaker only|IOIDOutput"}});
  EXPECT_EQ(message_of(DeviceName{"äußeres mikrofon"}), "selected outer");
  EXPECT_EQ(message_of(DeviceName{"студия"}), "selected studio");
  EXPECT_EQ(message_of(DeviceName{"μικρόφωνο οδος"}), "selected greek");
  EXPECT_EQ(message_of(DeviceName{"ARRAY"}), "selected usbarray");
  // The twins differ in case and a trailing word: both contain the query, and an exact
  // match wins no tie-break.
  EXPECT_EQ(message_of(DeviceName{"USB MIC"}),
            "Multiple devices match \"USB MIC\":\n  [0] USB Mic\n  [1] usb mic array\n"
            "Use a more specific name or pass the device index directly.");
  // The query is reported as written; devices of the other direction take no part.
  EXPECT_EQ(message_of(DeviceName{"Speaker Only"}),
            "No microphone found matching \"Speaker Only\"");
  EXPECT_EQ(message_of(DeviceName{"speaker"}, Direction::Playback), "selected out");
  EXPECT_EQ(message_of(DeviceName{"Studio X"}, Direction::Playback),
            "No speaker found matching \"Studio X\"");
}

TEST_F(Selection, EmptyQueryNeedsExactlyOneDevice) {
  devices({{"only", "Only mic"}});
  EXPECT_EQ(message_of(DeviceName{""}), "selected only");
  devices({{"first", "First"}, {"second", "Second"}});
  EXPECT_EQ(message_of(DeviceName{""}),
            "Multiple devices match \"\":\n  [0] First\n  [1] Second\n"
            "Use a more specific name or pass the device index directly.");
}

TEST_F(Selection, IndexIsAPositionInTheListing) {
  devices({{"first", "First"}, {"second", "Second"}});
  EXPECT_EQ(message_of(DeviceIndex{1}), "selected second");
  EXPECT_EQ(message_of(DeviceIndex{2}),
            "device index out of range. Call devices() to list available devices");
  devices({});
  EXPECT_EQ(message_of(DeviceIndex{0}),
            "device index out of range. Call devices() to list available devices");
}

TEST_F(Selection, IdMatchesByteForByteAtEachResolution) {
  devices({{"usb", "USB Mic"}, {"usbarray", "usb mic array"}});
  EXPECT_EQ(message_of(DeviceId{"alsa:usbarray"}), "selected usbarray");
  EXPECT_EQ(message_of(DeviceId{"alsa:USB"}), "No microphone found matching \"alsa:USB\"");
  EXPECT_EQ(message_of(DeviceId{"alsa:usb"}), "selected usb");
  EXPECT_EQ(message_of(DeviceId{"alsa:us"}), "No microphone found matching \"alsa:us\"");
  // The device was unplugged after it was listed.
  devices({{"usbarray", "usb mic array"}});
  EXPECT_EQ(message_of(DeviceId{"alsa:usb"}), "No microphone found matching \"alsa:usb\"");
  EXPECT_EQ(message_of(DeviceId{"alsa:usb"}, Direction::Playback),
            "No speaker found matching \"alsa:usb\"");
}

TEST_F(Selection, DefaultDeviceOrItsAbsence) {
  devices({{"usb", "USB Mic"}}, false);
  EXPECT_EQ(message_of(DefaultDevice{}), "No microphone found. Check system audio input settings.");
  EXPECT_EQ(message_of(DefaultDevice{}, Direction::Playback),
            "No speaker found. Check system audio settings.");
  devices({{"usb", "USB Mic"}});
  EXPECT_EQ(message_of(DefaultDevice{}), "selected default");
}

TEST_F(Selection, EnumerationFailureIsReported) {
  std::ofstream(next_path(), std::ios::trunc) << "pcm.unclosed {\n";
  for (const DeviceArgument& argument :
       {DeviceArgument(DeviceIndex{0}), DeviceArgument(DeviceName{"x"}),
        DeviceArgument(DeviceId{"alsa:x"})}) {
    auto selected = select_device(argument, Direction::Capture);
    ASSERT_FALSE(selected.ok());
    EXPECT_EQ(selected.error().kind(), ErrorKind::DeviceEnumerationFailed);
  }
}

// What the bridges and the command line are told a device argument opens: the same
// device a stream would, with the listing's index, name and default configuration.
TEST_F(Selection, DescribesWhatAStreamWouldOpen) {
  std::ofstream(next_path(), std::ios::trunc)
      << "pcm.!default { type null hint { show on description \"System default\" } }\n"
         "pcm.usb { type null hint { show on description \"USB Mic\" } }\n"
         "pcm.broken { type hw card 99 hint { show on description \"Broken mic\" } }\n";
  struct Case {
    DeviceArgument argument;
    std::optional<uint64_t> index;
    std::string name, id;
    uint32_t rate_hz;
    uint16_t channels;
  };
  const Case cases[] = {
      // A null device allows every rate and up to the most channels a stream may have.
      {DefaultDevice{}, 0, "System default", "alsa:default", 44100, kMaxStreamChannels},
      {DeviceIndex{1}, 1, "USB Mic", "alsa:usb", 44100, kMaxStreamChannels},
      {DeviceName{"usb"}, 1, "USB Mic", "alsa:usb", 44100, kMaxStreamChannels},
      {DeviceId{"alsa:usb"}, 1, "USB Mic", "alsa:usb", 44100, kMaxStreamChannels},
      // Selected, but its configuration cannot be read: zeros, as the listing shows it.
      {DeviceName{"broken"}, 2, "Broken mic", "alsa:broken", 0, 0},
  };
  for (const Case& c : cases) {
    auto selected = describe_selection(c.argument, Direction::Capture);
    ASSERT_TRUE(selected.ok()) << selected.error().message();
    EXPECT_EQ(selected->index, c.index) << c.name;
    EXPECT_EQ(selected->name, c.name);
    EXPECT_EQ(selected->id, c.id);
    EXPECT_EQ(selected->config.sample_rate_hz, c.rate_hz) << c.name;
    EXPECT_EQ(selected->config.channels, c.channels) << c.name;
  }
  // Selection errors are the stream's.
  EXPECT_EQ(describe_selection(DeviceName{"mic"}, Direction::Capture).error().kind(),
            ErrorKind::MultipleDevicesMatch);
  EXPECT_EQ(describe_selection(DeviceIndex{3}, Direction::Capture).error().kind(),
            ErrorKind::DeviceIndexOutOfRange);

  // A default device the listing does not show has no index; it is named by its PCM.
  std::ofstream(next_path(), std::ios::trunc)
      << "pcm.!default { type null }\n"
         "pcm.usb { type null hint { show on description \"USB Mic\" } }\n";
  auto unlisted = describe_selection(DefaultDevice{}, Direction::Playback);
  ASSERT_TRUE(unlisted.ok());
  EXPECT_EQ(unlisted->index, std::nullopt);
  EXPECT_EQ(unlisted->name, "default");
  EXPECT_EQ(unlisted->id, "alsa:default");
  EXPECT_EQ(unlisted->config.sample_rate_hz, 44100u);
}

}  // namespace
}  // namespace murello
