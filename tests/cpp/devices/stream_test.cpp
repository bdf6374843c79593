// Streams on the test sound card: period delivery, play/pause/drop, and the open rules.
#include "devices/stream.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "test_card.hpp"

namespace murello {
namespace {

using namespace std::chrono_literals;

DeviceHandle pcm(const std::string& name) { return DeviceHandle{name, std::nullopt}; }

// What one capture stream delivered. The audio thread writes it; the test reads the
// plain fields only after pause or drop has returned.
struct Captured {
  test_card::RampFollower ramp;
  char thread_name[16] = {};
  size_t period_samples = 0;
  uint64_t wrong_sizes = 0;
  std::atomic<uint64_t> periods{0};
  std::atomic<int> errors{0};

  InputCallback on_data() {
    return [this](std::span<const float> samples) {
      if (samples.size() != period_samples) ++wrong_sizes;
      pthread_getname_np(pthread_self(), thread_name, sizeof thread_name);
      ramp.feed(samples);
      periods.fetch_add(1);
    };
  }
  ErrorCallback on_error() {
    return [this](std::string_view) { errors.fetch_add(1); };
  }
};

class Streams : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test_card::use(); }
};

struct DeliveryCase {
  uint32_t rate_hz;
  uint16_t channels;
  Captured captured;
  std::optional<Stream> stream;
};

// All twelve combinations run at once, as twelve streams on twelve audio threads.
TEST_F(Streams, CaptureDeliversEveryFrameInOrderAtEachRateAndChannelCount) {
  constexpr uint32_t kSeconds = 5;
  std::vector<std::unique_ptr<DeliveryCase>> cases;
  for (uint32_t rate : {48000u, 44100u, 16000u, 8000u}) {
    for (uint16_t channels : {1, 2, 4}) {
      auto c = std::make_unique<DeliveryCase>();
      c->rate_hz = rate;
      c->channels = channels;
      uint32_t period = rate / 100;
      c->captured.period_samples = size_t{period} * channels;
      std::string name =
          "mic:RATE=" + std::to_string(rate) + ",CHANNELS=" + std::to_string(channels);
      auto stream = Stream::build_input(pcm(name), {channels, rate, period},
                                        c->captured.on_data(), c->captured.on_error());
      ASSERT_TRUE(stream.ok()) << name << ": " << stream.error().message();
      EXPECT_EQ(stream->period_frames(), period);
      c->stream.emplace(std::move(stream).value());
      cases.push_back(std::move(c));
    }
  }
  for (auto& c : cases) c->stream->play();
  ASSERT_TRUE(test_card::eventually([&] {
    for (auto& c : cases) {
      if (c->captured.periods.load() < uint64_t{kSeconds} * 100) return false;
    }
    return true;
  }));
  for (auto& c : cases) {
    c->stream.reset();
    SCOPED_TRACE(std::to_string(c->rate_hz) + " Hz, " + std::to_string(c->channels) + " ch");
    const Captured& got = c->captured;
    EXPECT_EQ(got.errors.load(), 0);
    EXPECT_EQ(got.wrong_sizes, 0u);
    EXPECT_EQ(got.ramp.first(), 0u);
    EXPECT_EQ(got.ramp.breaks(), 0u) << "expected " << got.ramp.last_break_from() << ", got "
                                     << got.ramp.last_break_to();
    EXPECT_EQ(got.ramp.samples(), got.periods.load() * got.period_samples);
  }
}

TEST_F(Streams, PauseStopsCallbacksAndPlayResumesWithoutAGap) {
  Captured captured;
  captured.period_samples = 480 * 2;
  auto stream = Stream::build_input(pcm("mic"), {2, 48000, 480}, captured.on_data(),
                                    captured.on_error());
  ASSERT_TRUE(stream.ok()) << stream.error().message();
  // Built paused: nothing arrives before play.
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(captured.periods.load(), 0u);

  for (int round = 0; round < 3; ++round) {
    uint64_t before = captured.periods.load();
    stream->play();
    ASSERT_TRUE(test_card::eventually([&] { return captured.periods.load() >= before + 10; }));
    stream->pause();
    uint64_t at_pause = captured.periods.load();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(captured.periods.load(), at_pause) << "a callback ran after pause returned";
  }
  EXPECT_EQ(captured.ramp.first(), 0u);
  EXPECT_EQ(captured.ramp.breaks(), 0u) << "expected " << captured.ramp.last_break_from()
                                        << ", got " << captured.ramp.last_break_to();
  EXPECT_EQ(captured.errors.load(), 0);
  EXPECT_STREQ(captured.thread_name, "cpal_alsa_in");
}

TEST_F(Streams, SpeakerPlaysExactlyWhatTheCallbackGaveAcrossPauses) {
  std::string record = test_card::temp_path("played.raw");
  std::string stats = test_card::temp_path("played.stats");
  std::atomic<uint64_t> periods{0};
  std::atomic<int> errors{0};
  float next = 0.0f;  // audio thread only
  char thread_name[16] = {};
  auto built = Stream::build_output(
      pcm("speaker:RECORD=" + record + ",STATS=" + stats), {2, 48000, std::nullopt},
      [&](std::span<float> out, const OutputTiming&) {
        pthread_getname_np(pthread_self(), thread_name, sizeof thread_name);
        for (float& s : out) s = next++;
        periods.fetch_add(1);
      },
      [&](std::string_view) { errors.fetch_add(1); });
  ASSERT_TRUE(built.ok()) << built.error().message();
  std::optional<Stream> stream(std::move(built).value());
  uint32_t period = stream->period_frames();
  EXPECT_GT(period, 0u);
  for (int round = 0; round < 2; ++round) {
    uint64_t before = periods.load();
    stream->play();
    ASSERT_TRUE(test_card::eventually([&] { return periods.load() >= before + 20; }));
    stream->pause();
  }
  stream->play();
  ASSERT_TRUE(test_card::eventually([&] { return periods.load() >= 60; }));
  stream.reset();  // drop: closes the device

  std::string bytes = test_card::read_file(record);
  std::vector<float> played(bytes.size() / sizeof(float));
  std::memcpy(played.data(), bytes.data(), played.size() * sizeof(float));
  test_card::RampFollower ramp;
  ramp.feed(played);
  EXPECT_EQ(ramp.first(), 0u);
  EXPECT_EQ(ramp.breaks(), 0u);
  // What was still queued in the device at the drop is not played.
  EXPECT_GT(played.size(), (60 - 8) * size_t{period} * 2);
  EXPECT_LE(played.size(), static_cast<size_t>(next));
  EXPECT_EQ(errors.load(), 0);
  EXPECT_STREQ(thread_name, "cpal_alsa_out");
  EXPECT_NE(test_card::read_file(stats).find("silence=0 "), std::string::npos);
  std::remove(record.c_str());
  std::remove(stats.c_str());
}

// Drop waits for a callback in progress and no callback starts after it returns.
TEST_F(Streams, DropDuringACallbackNeverCallsBackAfterwards) {
  constexpr int kRounds = 500;
  int late_callbacks = 0;
  for (int i = 0; i < kRounds; ++i) {
    std::atomic<bool> entered{false};
    std::atomic<bool> dropping{false};
    std::atomic<bool> dropped{false};
    std::atomic<int> late{0};
    auto on_data = [&] {
      if (dropped.load()) late.fetch_add(1);
      entered.store(true);
      // Stay inside the callback until the drop has begun, so that it waits for us.
      while (!dropping.load()) std::this_thread::yield();
    };
    std::optional<Stream> stream;
    bool capture = i % 2 == 0;
    auto built = capture ? Stream::build_input(pcm("mic"), {2, 48000, 32},
                                               [&](std::span<const float>) { on_data(); },
                                               [](std::string_view) {})
                         : Stream::build_output(pcm("speaker"), {2, 48000, 32},
                                                [&](std::span<float> out, const OutputTiming&) {
                                                  std::fill(out.begin(), out.end(), 0.0f);
                                                  on_data();
                                                },
                                                [](std::string_view) {});
    ASSERT_TRUE(built.ok()) << built.error().message();
    stream.emplace(std::move(built).value());
    stream->play();
    ASSERT_TRUE(test_card::eventually([&] { return entered.load(); }));
    dropping.store(true);
    stream.reset();
    dropped.store(true);
    late_callbacks += late.load();
  }
  EXPECT_EQ(late_callbacks, 0);
}

TEST_F(Streams, OpenFailuresCarryTheBackendsText) {
  auto nothing = [](std::span<const float>) {};
  auto quiet = [](std::string_view) {};
  auto busy = Stream::build_input(pcm("busy"), {2, 48000, 480}, nothing, quiet);
  ASSERT_FALSE(busy.ok());
  EXPECT_EQ(busy.error().kind(), ErrorKind::StreamOpenFailed);
  EXPECT_NE(busy.error().message().find("Device or resource busy"), std::string::npos)
      << busy.error().message();

  // The test microphone offers 48000 Hz only.
  auto rate = Stream::build_input(pcm("mic"), {2, 44100, 441}, nothing, quiet);
  ASSERT_FALSE(rate.ok());
  EXPECT_NE(rate.error().message().find("44100"), std::string::npos) << rate.error().message();

  // A capture-only device has no playback side.
  auto direction = Stream::build_output(
      pcm("mic"), {2, 48000, std::nullopt}, [](std::span<float>, const OutputTiming&) {}, quiet);
  EXPECT_FALSE(direction.ok());
}

TEST_F(Streams, SixteenThousandThreeHundredEightyFourChannelsAreRefused) {
  auto input = Stream::build_input(
      pcm("mic"), {16384, 48000, 480}, [](std::span<const float>) {}, [](std::string_view) {});
  ASSERT_FALSE(input.ok());
  EXPECT_EQ(input.error().message(),
            "Failed to open audio stream: the platform supports at most 16383 input channels, "
            "and 16384 were requested");
  auto output = Stream::build_output(
      pcm("speaker"), {65535, 48000, std::nullopt}, [](std::span<float>, const OutputTiming&) {},
      [](std::string_view) {});
  ASSERT_FALSE(output.ok());
  EXPECT_EQ(output.error().message(),
            "Failed to open audio stream: the platform supports at most 16383 output channels, "
            "and 65535 were requested");
  // One channel fewer is the device's business: the card says no with its own text.
  auto limit = Stream::build_input(
      pcm("mic"), {16383, 48000, 480}, [](std::span<const float>) {}, [](std::string_view) {});
  ASSERT_FALSE(limit.ok());
  EXPECT_EQ(limit.error().message().find("the platform supports"), std::string::npos);
}

TEST_F(Streams, DefaultConfigurationPrefers44100ElseTheHighestRate) {
  auto with = default_config(pcm("mic_with_44100"), Direction::Capture);
  ASSERT_TRUE(with.ok()) << with.error().message();
  EXPECT_EQ(with->sample_rate_hz, 44100u);
  EXPECT_EQ(with->channels, 6);
  auto above = default_config(pcm("mic_above_44100"), Direction::Capture);
  ASSERT_TRUE(above.ok()) << above.error().message();
  EXPECT_EQ(above->sample_rate_hz, 96000u);
  EXPECT_EQ(above->channels, 2);

  auto supported = supported_config(pcm("mic_with_44100"), Direction::Capture);
  ASSERT_TRUE(supported.ok());
  EXPECT_EQ(supported->min_rate_hz, 8000u);
  EXPECT_EQ(supported->max_rate_hz, 48000u);
  EXPECT_EQ(supported->min_channels, 1u);
  EXPECT_EQ(supported->max_channels, 6u);
  EXPECT_TRUE(supported->float32);

  EXPECT_FALSE(default_config(pcm("mic"), Direction::Playback).ok());
}

}  // namespace
}  // namespace murello
