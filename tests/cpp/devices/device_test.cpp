#include "devices/device.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace murello {
namespace {

// The listing runs against the virtual PCMs of tests/alsa/devices.conf only.
class DeviceListing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("ALSA_CONFIG_PATH", MURELLO_SOURCE_DIR "/tests/alsa/devices.conf", 1);
  }
};

TEST_F(DeviceListing, ListsEachDirectionInHintOrder) {
  auto capture = list_devices(Direction::Capture);
  ASSERT_TRUE(capture.ok());
  std::vector<std::string> ids;
  for (const auto& d : *capture) ids.push_back(d.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"alsa:default", "alsa:TestMic", "alsa:testmic",
                                            "alsa:nodesc"}));
  for (size_t i = 0; i < capture->size(); ++i) EXPECT_EQ((*capture)[i].index, i);

  auto playback = list_devices(Direction::Playback);
  ASSERT_TRUE(playback.ok());
  ids.clear();
  for (const auto& d : *playback) ids.push_back(d.id);
  EXPECT_EQ(ids, (std::vector<std::string>{"alsa:default", "alsa:testmic", "alsa:nodesc",
                                            "alsa:TestSpeaker"}));
}

TEST_F(DeviceListing, NamesDefaultsAndUnreadableConfigurations) {
  auto capture = list_devices(Direction::Capture);
  ASSERT_TRUE(capture.ok());
  const auto& all = *capture;
  EXPECT_TRUE(all[0].is_default);
  EXPECT_EQ(all[0].name, "Test default device");
  EXPECT_EQ(all[0].default_sample_rate_hz, 44100u);
  EXPECT_EQ(all[0].max_channels, kMaxStreamChannels);
  // Letter case matters: only the exact PCM name is the default.
  EXPECT_FALSE(all[1].is_default);
  EXPECT_EQ(all[1].name, "Test microphone");
  // A PCM that cannot be opened is still listed, with 0 and 0.
  EXPECT_EQ(all[2].max_channels, 0);
  EXPECT_EQ(all[2].default_sample_rate_hz, 0u);
  // No description: the PCM name stands in.
  EXPECT_EQ(all[3].name, "nodesc");
}

TEST_F(DeviceListing, DefaultDeviceOpens) {
  auto device = default_device(Direction::Playback);
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(device->pcm_name, "default");
}

TEST(DefaultConfig, Prefers44100ThenTheHighestRate) {
  EXPECT_EQ(choose_default_config({1, 2, 8000, 48000, true})->sample_rate_hz, 44100u);
  EXPECT_EQ(choose_default_config({1, 2, 48000, 96000, true})->sample_rate_hz, 96000u);
  EXPECT_EQ(choose_default_config({1, 2, 8000, 32000, true})->sample_rate_hz, 32000u);
  EXPECT_EQ(choose_default_config({1, 6, 44100, 44100, true})->channels, 6);
  EXPECT_EQ(choose_default_config({1, 100000, 8000, 48000, true})->channels, 16383);
  EXPECT_FALSE(choose_default_config({0, 0, 8000, 48000, true}).has_value());
}

}  // namespace
}  // namespace murello
