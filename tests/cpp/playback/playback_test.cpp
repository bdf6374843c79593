// Playback on the test sound card: what is written is what the speaker plays, the queue
// paces a fast writer, drain and stop, device loss, and the open rules.
#include "playback/playback.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices/test_card.hpp"

namespace murello {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRate = 48000;
constexpr uint16_t kChannels = 2;
constexpr size_t kChunk = 480 * kChannels;  // 10 ms

DeviceResolver pcm(std::string name) {
  return [name] { return Result<DeviceHandle, CoreError>(DeviceHandle{name, std::nullopt}); };
}

std::vector<float> read_floats(const std::string& path) {
  std::string bytes = test_card::read_file(path);
  std::vector<float> out(bytes.size() / sizeof(float));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
  return out;
}

// Noise that is never exactly 0, so that silence and signal cannot be confused.
std::vector<float> noise(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(0.001f, 1.0f);
  std::vector<float> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = (i % 3 == 0 ? -1.0f : 1.0f) * dist(gen);
  return out;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class PlaybackOnCard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { test_card::use(); }
  void TearDown() override {
    for (const auto& path : files_) std::remove(path.c_str());
  }
  std::string temp(const std::string& name) {
    files_.push_back(test_card::temp_path(name));
    return files_.back();
  }

 private:
  std::vector<std::string> files_;
};

// Waits until the device has taken `samples` more samples of silence than now: what was
// written before has then left the device's buffer too.
void wait_for_silence(const Playback& playback, uint64_t samples) {
  uint64_t from = playback.underrun_samples();
  ASSERT_TRUE(test_card::eventually([&] { return playback.underrun_samples() >= from + samples; }));
}

TEST_F(PlaybackOnCard, TheSpeakerPlaysEverySampleAsWrittenAfterLeadingSilence) {
  std::string record = temp("exact.raw");
  Playback playback(kRate, kChannels, pcm("speaker:RECORD=" + record));
  ASSERT_TRUE(playback.start().ok());
  // Chunks of odd sizes: frames straddle messages and device periods.
  const std::vector<float> written = noise(kRate * kChannels / 2, 7);
  const size_t sizes[] = {1, 957, 3, 2048, 479, 1440};
  for (size_t at = 0, i = 0; at < written.size(); ++i) {
    size_t n = std::min(sizes[i % std::size(sizes)], written.size() - at);
    ASSERT_TRUE(playback.write({written.begin() + at, written.begin() + at + n}).ok());
    at += n;
  }
  ASSERT_TRUE(playback.drain().ok());
  wait_for_silence(playback, 10 * kChunk);
  playback.stop();

  std::vector<float> played = read_floats(record);
  size_t lead = 0;
  while (lead < played.size() && played[lead] == 0.0f) ++lead;
  ASSERT_GE(played.size(), lead + written.size());
  EXPECT_EQ(lead % kChannels, 0u);
  EXPECT_EQ(std::memcmp(&played[lead], written.data(), written.size() * sizeof(float)), 0);
  for (size_t i = lead + written.size(); i < played.size(); ++i) {
    ASSERT_EQ(played[i], 0.0f) << "at " << i;
  }
}

TEST_F(PlaybackOnCard, SilenceBeforeTheFirstWriteCountsAsUnderrun) {
  Playback playback(kRate, kChannels, pcm("speaker"));
  EXPECT_EQ(playback.underrun_samples(), 0u);
  Clock::time_point before = Clock::now();
  ASSERT_TRUE(playback.start().ok());
  std::this_thread::sleep_for(100ms);
  uint64_t underrun = playback.underrun_samples();
  double elapsed = seconds_since(before);
  // About the 100 ms slept (less two periods, for an audio thread woken late), at most
  // the time passed plus the device's buffer of four 10 ms periods and one of slack.
  EXPECT_GE(underrun, 9600u - 2 * kChunk);
  EXPECT_LE(underrun, static_cast<uint64_t>((elapsed + 0.05) * kRate * kChannels));
  ASSERT_TRUE(playback.write(std::vector<float>(kChunk, 0.5f)).ok());
  playback.stop();
  EXPECT_EQ(playback.underrun_samples(), 0u);
}

// Writing 5 s of audio takes about 5 s less what the queue, the carry-over and the
// device's buffer hold.
TEST_F(PlaybackOnCard, TheQueuePacesAWriterFasterThanRealTime) {
  Playback playback(kRate, kChannels, pcm("speaker"));
  ASSERT_TRUE(playback.start().ok());
  const std::vector<float> chunk(kChunk, 0.25f);
  Clock::time_point start = Clock::now();
  for (int i = 0; i < 500; ++i) ASSERT_TRUE(playback.write(chunk).ok());
  double elapsed = seconds_since(start);
  playback.stop();
  const double in_flight = (32 + 1 + 4 + 1) * 0.010;
  EXPECT_GE(elapsed, 5.0 - in_flight - 0.02);
  EXPECT_LE(elapsed, 5.0 + 2.0) << "guards only against a stuck writer";
}

// After drain only the carry-over and the device's buffer are left unplayed, so a stop
// right away loses at most those.
TEST_F(PlaybackOnCard, DrainReturnsOnceEverythingWrittenHasLeftTheQueue) {
  std::string record = temp("drain.raw");
  Playback playback(kRate, kChannels, pcm("speaker:RECORD=" + record));
  ASSERT_TRUE(playback.start().ok());
  const std::vector<float> written = noise(60 * kChunk, 3);
  for (size_t at = 0; at < written.size(); at += kChunk) {
    ASSERT_TRUE(playback.write({written.begin() + at, written.begin() + at + kChunk}).ok());
  }
  ASSERT_TRUE(playback.drain().ok());
  playback.stop();
  std::vector<float> played = read_floats(record);
  size_t signal = 0;
  for (float v : played) signal += v != 0.0f;
  EXPECT_GE(signal, written.size() - (1 + 4 + 1) * kChunk);
  // A drain without anything queued returns at once.
  ASSERT_TRUE(playback.start().ok());
  EXPECT_TRUE(playback.drain().ok());
}

TEST_F(PlaybackOnCard, StopFromAnotherThreadReleasesWritersAndDrainers) {
  Playback playback(kRate, kChannels, pcm("speaker"));
  ASSERT_TRUE(playback.start().ok());
  // Five seconds being played and 32 messages behind them: the queue stays full for
  // five seconds.
  ASSERT_TRUE(playback.write(std::vector<float>(5 * kRate * kChannels, 0.1f)).ok());
  // Taken once the silence stops growing.
  ASSERT_TRUE(test_card::eventually([&] {
    uint64_t before = playback.underrun_samples();
    std::this_thread::sleep_for(30ms);
    return playback.underrun_samples() == before;
  }));
  const std::vector<float> chunk(kChunk, 0.1f);
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(playback.write(chunk).ok());
  std::atomic<int> done{0};
  Result<void, CoreError> drained = CoreError(ErrorKind::StreamOpenFailed, "not returned");
  Result<void, CoreError> written = CoreError(ErrorKind::StreamOpenFailed, "not returned");
  std::thread drainer([&] {
    drained = playback.drain();
    ++done;
  });
  std::thread writer([&] {
    written = playback.write(chunk);
    ++done;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(done.load(), 0);
  playback.stop();
  drainer.join();
  writer.join();
  EXPECT_TRUE(drained.ok()) << drained.error().message();
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().kind(), ErrorKind::SpeakerStreamClosed);
  EXPECT_FALSE(playback.running());
}

void expect_device_failed(const Result<void, CoreError>& result) {
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::DeviceFailed);
  EXPECT_EQ(result.error().message(), "murello: audio device error: No such device");
}

void expect_closed(const Result<void, CoreError>& result) {
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ErrorKind::SpeakerStreamClosed);
}

// The speaker is lost 100 ms in, while a writer is blocked on the full queue or a drain
// waits for its turn.
TEST_F(PlaybackOnCard, ADeviceLostMidStreamIsReportedOnceThenTheStreamIsClosed) {
  for (bool by_drain : {false, true}) {
    SCOPED_TRACE(by_drain ? "drain" : "write");
    Playback playback(kRate, kChannels, pcm("speaker_unplug:AFTER=4800"));
    ASSERT_TRUE(playback.start().ok());
    const std::vector<float> chunk(kChunk, 0.25f);
    Result<void, CoreError> result;
    if (by_drain) {
      // 200 ms queued: the drain is still waiting when the device goes.
      for (int i = 0; i < 20; ++i) ASSERT_TRUE(playback.write(chunk).ok());
      result = playback.drain();
    } else {
      for (int i = 0; i < 1000 && result.ok(); ++i) result = playback.write(chunk);
    }
    expect_device_failed(result);
    expect_closed(playback.write(chunk));
    expect_closed(playback.drain());
    EXPECT_TRUE(playback.running());
    playback.stop();
    EXPECT_FALSE(playback.running());
    expect_closed(playback.write(chunk));
  }
}

TEST_F(PlaybackOnCard, WithoutAStreamWriteAndDrainFailAndEmptyWritesDoNothing) {
  Playback playback(kRate, kChannels, pcm("speaker"));
  expect_closed(playback.write({}));
  expect_closed(playback.write({0.5f}));
  expect_closed(playback.drain());
  playback.stop();  // idle: nothing to do
  ASSERT_TRUE(playback.start().ok());
  EXPECT_TRUE(playback.write({}).ok());
  auto again = playback.start();
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().kind(), ErrorKind::AlreadyRunning);
  EXPECT_TRUE(playback.running());
  playback.stop();
  playback.stop();
  expect_closed(playback.write({}));
}

TEST_F(PlaybackOnCard, OpenFailuresNameTheChannelsOrCarryTheBackendsText) {
  auto start = [](uint32_t rate, uint16_t channels, DeviceResolver resolve) {
    Playback playback(rate, channels, std::move(resolve));
    auto result = playback.start();
    EXPECT_FALSE(playback.running());
    return result;
  };
  // The test speaker offers two channels at 48000 Hz.
  auto four = start(kRate, 4, pcm("speaker"));
  ASSERT_FALSE(four.ok());
  EXPECT_EQ(four.error().kind(), ErrorKind::SpeakerChannelsUnsupported);
  EXPECT_EQ(four.error().fields()[0], "4");
  EXPECT_EQ(four.error().fields()[1], "2");
  EXPECT_NE(four.error().fields()[2].find("4 channels not supported"), std::string::npos)
      << four.error().message();

  auto rate = start(44100, kChannels, pcm("speaker"));
  ASSERT_FALSE(rate.ok());
  EXPECT_EQ(rate.error().kind(), ErrorKind::StreamOpenFailed);
  EXPECT_NE(rate.error().message().find("44100"), std::string::npos) << rate.error().message();

  auto huge = start(kRate, 16384, pcm("speaker"));
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().message(),
            "Failed to open audio stream: the platform supports at most 16383 output channels, "
            "and 16384 were requested");

  // A capture-only device has no default output configuration to compare with.
  auto mic = start(kRate, 4, pcm("mic"));
  ASSERT_FALSE(mic.ok());
  EXPECT_EQ(mic.error().kind(), ErrorKind::StreamOpenFailed);

  auto missing = start(kRate, kChannels, [] {
    return Result<DeviceHandle, CoreError>(CoreError(ErrorKind::NoSpeakerFound));
  });
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::NoSpeakerFound);
}

// Each start builds everything afresh; under the sanitizers this also checks that
// nothing of a stream outlives its stop.
TEST_F(PlaybackOnCard, StartsAndStopsAThousandTimes) {
  Playback playback(kRate, kChannels, pcm("speaker"));
  const std::vector<float> chunk(kChunk, 0.25f);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(playback.start().ok()) << "round " << i;
    if (i % 100 == 0) {
      ASSERT_TRUE(playback.write(chunk).ok());
    }
    playback.stop();
    ASSERT_FALSE(playback.running());
  }
}

}  // namespace
}  // namespace murello
