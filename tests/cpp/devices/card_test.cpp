// The test sound card itself: its listing, its signals, its echo loop, and ALSA's own tools on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "devices/stream.hpp"
#include "test_card.hpp"

namespace murello {
namespace {

DeviceHandle pcm(const std::string& name) { return DeviceHandle{name, std::nullopt}; }

class TestCard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test_card::use(); }
};

// The speaker half plays one impulse; each microphone half hears it once, scaled by the
// loop's gain and delayed by its own delay, on top of the near-end talker: a ramp of
// whole numbers that counts the loop's frames, which dates every sample.
TEST_F(TestCard, LoopCarriesTheSpeakerToEachMicrophoneWithItsDelayAndGain) {
  constexpr uint64_t kImpulseFrame = 9600;
  struct Mic {
    explicit Mic(std::string pcm_name) : name(std::move(pcm_name)) {}
    std::string name;
    std::vector<float> heard;
    std::atomic<uint64_t> frames{0};
    std::optional<Stream> stream;
  };
  Mic near("loop:NAME=delay,DELAY=50,GAIN=0.5,SIGNAL=ramp");
  Mic far("loop:NAME=delay,DELAY=250,GAIN=0.5,SIGNAL=ramp");
  for (Mic* mic : {&near, &far}) {
    mic->heard.reserve(48000 * 4);
    auto built = Stream::build_input(
        pcm(mic->name), {1, 48000, 480},
        [mic](std::span<const float> samples) {
          mic->heard.insert(mic->heard.end(), samples.begin(), samples.end());
          mic->frames.fetch_add(samples.size());
        },
        [](std::string_view) {});
    ASSERT_TRUE(built.ok()) << built.error().message();
    mic->stream.emplace(std::move(built).value());
  }
  std::atomic<uint64_t> played_frames{0};
  uint64_t next = 0;  // speaker's audio thread only
  auto speaker = Stream::build_output(
      pcm("loop:NAME=delay"), {1, 48000, std::nullopt},
      [&](std::span<float> out, const OutputTiming&) {
        for (float& s : out) s = (next++ == kImpulseFrame) ? 1.0f : 0.0f;
        played_frames.fetch_add(out.size());
      },
      [](std::string_view) {});
  ASSERT_TRUE(speaker.ok()) << speaker.error().message();
  std::optional<Stream> speaker_stream(std::move(speaker).value());
  near.stream->play();
  far.stream->play();
  speaker_stream->play();
  // The impulse sounds 200 ms after the speaker starts; wait until both have heard it.
  ASSERT_TRUE(test_card::eventually([&] { return played_frames.load() >= 2 * kImpulseFrame; }));
  uint64_t until = far.frames.load() + 12000;
  ASSERT_TRUE(test_card::eventually([&] { return far.frames.load() >= until; }));
  speaker_stream.reset();

  std::vector<uint64_t> heard_at;
  for (Mic* mic : {&near, &far}) {
    mic->stream.reset();
    SCOPED_TRACE(mic->name);
    int echoes = 0;
    for (float s : mic->heard) {
      float echo = s - std::floor(s);
      if (echo != 0.0f) {
        ++echoes;
        EXPECT_EQ(echo, 0.5f);
        heard_at.push_back(static_cast<uint64_t>(std::floor(s)));
      }
    }
    EXPECT_EQ(echoes, 1);
  }
  ASSERT_EQ(heard_at.size(), 2u);
  EXPECT_EQ(heard_at[1] - heard_at[0], 200u * 48);
}

// Capture of `frames` frames from the named microphone, stereo at 48 kHz.
std::vector<float> capture(const std::string& name, size_t frames) {
  std::vector<float> got;
  got.reserve(frames * 2 + 960);
  std::atomic<size_t> count{0};
  auto built = Stream::build_input(
      pcm(name), {2, 48000, 480},
      [&](std::span<const float> samples) {
        if (got.size() < frames * 2) got.insert(got.end(), samples.begin(), samples.end());
        count.store(got.size());
      },
      [](std::string_view) {});
  EXPECT_TRUE(built.ok()) << built.error().message();
  if (!built.ok()) return {};
  std::optional<Stream> stream(std::move(built).value());
  stream->play();
  EXPECT_TRUE(test_card::eventually([&] { return count.load() >= frames * 2; }));
  stream.reset();
  got.resize(std::min(got.size(), frames * 2));
  return got;
}

// A loop's microphone half with its own clock 2% fast: its near-end ramp counts the
// loop's frames, so consecutive microphone frames step through the loop's time 2% slower
// than one frame each.
TEST_F(TestCard, LoopMicrophoneWithAFastClockSamplesTheLoopsTimeSlower) {
  std::vector<float> heard;
  heard.reserve(48000 * 2);
  std::atomic<uint64_t> frames{0};
  auto built = Stream::build_input(
      pcm("loop:NAME=fast,PPM=20000,SIGNAL=ramp"), {1, 48000, 480},
      [&](std::span<const float> samples) {
        heard.insert(heard.end(), samples.begin(), samples.end());
        frames.fetch_add(samples.size());
      },
      [](std::string_view) {});
  ASSERT_TRUE(built.ok()) << built.error().message();
  std::optional<Stream> stream(std::move(built).value());
  stream->play();
  ASSERT_TRUE(test_card::eventually([&] { return frames.load() >= 48000; }));
  stream.reset();
  const double stepped = heard[48000 - 1] - heard[0];
  EXPECT_NEAR(stepped, (48000 - 1) / 1.02, 1.0);
}

TEST_F(TestCard, MicrophonePlaysASineOrAFileExactly) {
  std::vector<float> sine = capture("mic:SIGNAL=sine", 4800);
  ASSERT_EQ(sine.size(), 9600u);
  for (size_t frame = 0; frame < 4800; frame += 7) {
    double expected = 0.5 * std::sin(2.0 * std::numbers::pi * std::fmod(frame * 1000.0 / 48000.0, 1.0));
    ASSERT_EQ(sine[2 * frame], static_cast<float>(expected)) << frame;
    ASSERT_EQ(sine[2 * frame + 1], sine[2 * frame]);
  }

  // A file of 1000 stereo frames, then silence.
  std::string path = test_card::temp_path("signal.raw");
  std::vector<float> file(2000);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<float>(i % 97) / 97.0f - 0.5f;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(file.data(), sizeof(float), file.size(), f);
  std::fclose(f);
  std::vector<float> played = capture("mic:SIGNAL=file,FILE=" + path, 1440);
  std::remove(path.c_str());
  ASSERT_EQ(played.size(), 2880u);
  EXPECT_TRUE(std::equal(file.begin(), file.end(), played.begin()));
  EXPECT_TRUE(std::all_of(played.begin() + 2000, played.end(), [](float s) { return s == 0.0f; }));
}

TEST_F(TestCard, ListsItsDevicesWithTheirConfigurations) {
  auto capture = list_devices(Direction::Capture);
  ASSERT_TRUE(capture.ok()) << capture.error().message();
  std::vector<std::string> seen;
  for (const auto& d : *capture) {
    seen.push_back(d.id + " " + d.name + " " + std::to_string(d.max_channels) + "@" +
                   std::to_string(d.default_sample_rate_hz) + (d.is_default ? " default" : ""));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"alsa:default Test card default 2@48000 default",
                                            "alsa:mic Test microphone 2@48000",
                                            "alsa:loop Test echo loop 1@48000"}));
  auto playback = list_devices(Direction::Playback);
  ASSERT_TRUE(playback.ok()) << playback.error().message();
  ASSERT_EQ(playback->size(), 3u);
  EXPECT_EQ((*playback)[1].id, "alsa:speaker");
  EXPECT_EQ((*playback)[1].max_channels, 2);
}

bool have_tool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

TEST_F(TestCard, AlsaToolsRecordAndPlayOnIt) {
  if (!have_tool("arecord") || !have_tool("aplay")) {
    if (std::getenv("CI") != nullptr && std::string(std::getenv("CI")) == "true") {
      FAIL() << "aplay and arecord (alsa-utils) are missing";
    }
    GTEST_SKIP() << "aplay and arecord (alsa-utils) are not installed";
  }
  std::string recorded = test_card::temp_path("arecord.raw");
  std::string played = test_card::temp_path("aplay.raw");
  std::string format = " -f FLOAT_LE -r 16000 -c 1 -t raw ";
  ASSERT_EQ(std::system(("arecord -q -D mic:RATE=16000,CHANNELS=1" + format + "-s 1600 " +
                         recorded)
                            .c_str()),
            0);
  std::string bytes = test_card::read_file(recorded);
  ASSERT_EQ(bytes.size(), 1600 * sizeof(float));
  std::vector<float> samples(1600);
  std::memcpy(samples.data(), bytes.data(), bytes.size());
  test_card::RampFollower ramp;
  ramp.feed(samples);
  EXPECT_EQ(ramp.first(), 0u);
  EXPECT_EQ(ramp.breaks(), 0u);

  ASSERT_EQ(std::system(("aplay -q -D speaker:RATE=16000,CHANNELS=1,RECORD=" + played + format +
                         recorded)
                            .c_str()),
            0);
  // aplay pads its last period with silence.
  std::string echo = test_card::read_file(played);
  ASSERT_GE(echo.size(), bytes.size());
  EXPECT_EQ(echo.substr(0, bytes.size()), bytes);
  std::remove(recorded.c_str());
  std::remove(played.c_str());
}

}  // namespace
}  // namespace murello
