// Device faults on the test sound card: loss of the device ends the stream with one
// error, an overrun or underrun is recovered without one.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "devices/stream.hpp"
#include "test_card.hpp"

namespace murello {
namespace {

using namespace std::chrono_literals;

DeviceHandle pcm(const std::string& name) { return DeviceHandle{name, std::nullopt}; }

// The audio thread writes the plain fields; the test reads them after the drop.
struct Observed {
  test_card::RampFollower ramp;
  std::atomic<uint64_t> periods{0};
  std::atomic<int> errors{0};
  std::string error_text;
  uint64_t periods_after_error = 0;
};

class StreamFaults : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test_card::use(); }
};

TEST_F(StreamFaults, UnpluggedMicrophoneReportsOnceAndStopsDelivering) {
  Observed seen;
  auto built = Stream::build_input(
      pcm("mic_unplug:AFTER=4800"), {2, 48000, 480},
      [&](std::span<const float> samples) {
        if (seen.errors.load() > 0) ++seen.periods_after_error;
        seen.ramp.feed(samples);
        seen.periods.fetch_add(1);
      },
      [&](std::string_view text) {
        seen.error_text = text;
        seen.errors.fetch_add(1);
      });
  ASSERT_TRUE(built.ok()) << built.error().message();
  std::optional<Stream> stream(std::move(built).value());
  stream->play();
  ASSERT_TRUE(test_card::eventually([&] { return seen.errors.load() > 0; }));
  // Give a wrongly still-running thread the chance to report or deliver again.
  std::this_thread::sleep_for(100ms);
  stream->pause();
  stream->play();
  std::this_thread::sleep_for(50ms);
  stream.reset();
  EXPECT_EQ(seen.errors.load(), 1);
  EXPECT_EQ(seen.error_text, "No such device");
  EXPECT_EQ(seen.periods_after_error, 0u);
  // What arrived before the loss is in order; a period the device had not handed over
  // when it vanished is lost, as with hardware.
  EXPECT_GE(seen.periods.load(), 1u);
  EXPECT_LE(seen.periods.load(), 10u);
  EXPECT_EQ(seen.ramp.breaks(), 0u);
}

TEST_F(StreamFaults, UnpluggedSpeakerReportsOnce) {
  std::atomic<int> errors{0};
  std::string text;
  auto built = Stream::build_output(
      pcm("speaker_unplug:AFTER=9600"), {2, 48000, std::nullopt},
      [](std::span<float> out, const OutputTiming&) {
        std::fill(out.begin(), out.end(), 0.25f);
      },
      [&](std::string_view message) {
        text = message;
        errors.fetch_add(1);
      });
  ASSERT_TRUE(built.ok()) << built.error().message();
  std::optional<Stream> stream(std::move(built).value());
  stream->play();
  ASSERT_TRUE(test_card::eventually([&] { return errors.load() > 0; }));
  std::this_thread::sleep_for(100ms);
  stream.reset();
  EXPECT_EQ(errors.load(), 1);
  EXPECT_EQ(text, "No such device");
}

// The microphone stops for 300 ms, far longer than its 160 ms buffer: an overrun, which
// the audio thread recovers from. The frames lost in it show as one jump of the ramp.
TEST_F(StreamFaults, StallOfTheMicrophoneIsRecoveredNotReported) {
  std::string stats = test_card::temp_path("stall.stats");
  Observed seen;
  auto built = Stream::build_input(
      pcm("mic_stall:AT=4800,MS=300,STATS=" + stats), {2, 48000, 480},
      [&](std::span<const float> samples) {
        seen.ramp.feed(samples);
        seen.periods.fetch_add(1);
      },
      [&](std::string_view) { seen.errors.fetch_add(1); });
  ASSERT_TRUE(built.ok()) << built.error().message();
  std::optional<Stream> stream(std::move(built).value());
  stream->play();
  // 10 periods before the stall, then 20 more after it.
  ASSERT_TRUE(test_card::eventually([&] { return seen.periods.load() >= 30; }));
  stream.reset();
  EXPECT_EQ(seen.errors.load(), 0);
  EXPECT_GE(seen.ramp.breaks(), 1u);
  EXPECT_EQ(seen.ramp.last_break_from() > 0 && seen.ramp.last_break_to() > seen.ramp.last_break_from(),
            true);
  std::string text = test_card::read_file(stats);
  EXPECT_EQ(text.find("xruns=0"), std::string::npos) << text;
  std::remove(stats.c_str());
}

// A callback 100 ms late, against a 40 ms buffer: an underrun, recovered without an
// error and without losing or repeating a frame the callback gave.
TEST_F(StreamFaults, UnderrunOfTheSpeakerIsRecoveredNotReported) {
  std::string record = test_card::temp_path("underrun.raw");
  std::string stats = test_card::temp_path("underrun.stats");
  std::atomic<uint64_t> periods{0};
  std::atomic<int> errors{0};
  float next = 0.0f;  // audio thread only
  auto built = Stream::build_output(
      pcm("speaker:RECORD=" + record + ",STATS=" + stats), {2, 48000, std::nullopt},
      [&](std::span<float> out, const OutputTiming&) {
        if (periods.fetch_add(1) == 20) std::this_thread::sleep_for(100ms);
        for (float& s : out) s = next++;
      },
      [&](std::string_view) { errors.fetch_add(1); });
  ASSERT_TRUE(built.ok()) << built.error().message();
  std::optional<Stream> stream(std::move(built).value());
  stream->play();
  ASSERT_TRUE(test_card::eventually([&] { return periods.load() >= 60; }));
  stream.reset();
  EXPECT_EQ(errors.load(), 0);
  std::string text = test_card::read_file(stats);
  EXPECT_EQ(text.find("xruns=0"), std::string::npos) << text;
  std::string bytes = test_card::read_file(record);
  std::vector<float> played(bytes.size() / sizeof(float));
  std::memcpy(played.data(), bytes.data(), played.size() * sizeof(float));
  test_card::RampFollower ramp;
  ramp.feed(played);
  EXPECT_EQ(ramp.first(), 0u);
  EXPECT_EQ(ramp.breaks(), 0u);
  EXPECT_GT(played.size(), 40u * 480 * 2);
  std::remove(record.c_str());
  std::remove(stats.c_str());
}

}  // namespace
}  // namespace murello
