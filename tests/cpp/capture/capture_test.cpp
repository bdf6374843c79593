// The capture stream on the test sound card: channel selection, the block stream, the
// overrun counter, timeouts, device loss, stop from another thread, and repeated and
// concurrent start/stop.
#include "capture/capture.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <thread>

#include "devices/test_card.hpp"

namespace murello {
namespace {

using namespace std::chrono_literals;

// The card's PCMs with hints, so that they are selected as users select devices.
constexpr const char* kDevices = R"(
pcm.quad { type testcard kind mic rate 48000 channels 4 signal ramp
  hint { show on description "Quad ramp mic|IOIDInput" } }
pcm.quadsine { type testcard kind mic rate 48000 channels 4 signal sine amplitude 0.5
  hint { show on description "Quad sine mic|IOIDInput" } }
pcm.mono16 { type testcard kind mic rate 16000 channels 1 signal ramp
  hint { show on description "Mono ramp mic|IOIDInput" } }
pcm.silent8 { type testcard kind mic rate 8000 channels 1 signal silence
  hint { show on description "Silent mic|IOIDInput" } }
pcm.lost { type testcard kind mic rate 48000 channels 1 signal sine unplug_after 4800
  hint { show on description "Unplugging mic|IOIDInput" } }
pcm.stall16 { type testcard kind mic rate 16000 channels 1 signal ramp stall_at 3200
  stall_ms 700 hint { show on description "Stalling ramp mic|IOIDInput" } }
pcm.busymic { type testcard kind mic open_error 16
  hint { show on description "Busy mic|IOIDInput" } }
)";

class Capturing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static const std::string path = test_card::temp_path("capture.conf");
    std::ofstream(path, std::ios::trunc) << "<" MURELLO_TEST_ALSA_CONFIG ">\n" << kDevices;
    setenv("ALSA_CONFIG_PATH", path.c_str(), 1);
  }

  static SourceConfig config(uint32_t rate_hz, uint16_t channels, uint32_t frames) {
    SourceConfig c;
    c.sample_rate = rate_hz;
    c.channels = channels;
    c.frames_per_buffer = frames;
    c.format = "float32";
    c.vad_holdoff = 0;
    return c;
  }

  static std::unique_ptr<Capture> capture(SourceConfig c, const std::string& pcm) {
    auto built =
        Capture::create(std::move(c), resolver_for(DeviceId{"alsa:" + pcm}, Direction::Capture));
    EXPECT_TRUE(built.ok()) << built.error().message();
    return built ? std::move(built).value() : nullptr;
  }

  // The message of a failed start or read, or "" on success.
  static std::string message(const CaptureError& error) {
    if (const auto* refusal = std::get_if<CaptureRefusal>(&error)) {
      return *refusal == CaptureRefusal::AlreadyRunning ? "already running" : "not running";
    }
    return std::get<ConfigError>(error).message();
  }
  static std::string start_message(Capture& c) {
    auto started = c.start();
    return started ? "" : message(started.error());
  }

  static CaptureBlock read_block(Capture& c) {
    auto block = c.read(std::nullopt);
    EXPECT_TRUE(block.ok()) << message(block.error());
    EXPECT_TRUE(block.ok() && block->has_value());
    return block.ok() && *block ? std::move(**block) : CaptureBlock{};
  }
};

TEST_F(Capturing, FourChannelsAveragedToMono) {
  auto c = capture(config(48000, 1, 480), "quad");
  ASSERT_EQ(start_message(*c), "");
  for (int b = 0; b < 5; ++b) {
    CaptureBlock block = read_block(*c);
    ASSERT_EQ(block.samples.size(), 480u);
    EXPECT_EQ(block.channels, 1);
    for (float s : block.samples) {
      // Frame f of the ramp holds 4f ... 4f + 3; their mean is 4f + 1.5.
      const float frame = (s - 1.5f) / 4.0f;
      ASSERT_EQ(frame, std::floor(frame)) << s;
    }
    for (size_t i = 1; i < block.samples.size(); ++i) {
      ASSERT_EQ(block.samples[i] - block.samples[i - 1], 4.0f);
    }
  }
}

TEST_F(Capturing, FourChannelsResampledToSixteenKilohertzMono) {
  auto c = capture(config(16000, 1, 320), "quadsine");
  ASSERT_EQ(start_message(*c), "");
  read_block(*c);  // the resampler settles
  float peak = 0.0f;
  for (int b = 0; b < 5; ++b) {
    CaptureBlock block = read_block(*c);
    ASSERT_EQ(block.samples.size(), 320u);
    for (float s : block.samples) peak = std::max(peak, std::fabs(s));
  }
  // A 1 kHz sine of amplitude 0.5 on all four channels.
  EXPECT_NEAR(peak, 0.5f, 0.01f);
}

TEST_F(Capturing, ChannelMapPicksDeviceChannels) {
  SourceConfig c = config(48000, 2, 256);
  c.channel_map = std::vector<uint16_t>{3, 0};
  auto cap = capture(c, "quad");
  ASSERT_EQ(start_message(*cap), "");
  CaptureBlock block = read_block(*cap);
  ASSERT_EQ(block.samples.size(), 512u);
  EXPECT_EQ(block.channels, 2);
  for (size_t f = 0; f < 256; ++f) {
    EXPECT_EQ(block.samples[2 * f], block.samples[2 * f + 1] + 3.0f);
    if (f > 0) {
      EXPECT_EQ(block.samples[2 * f + 1], block.samples[2 * f - 1] + 4.0f);
    }
  }
}

TEST_F(Capturing, ChannelSelectionErrorsLeaveTheBridgeIdle) {
  struct Case {
    uint16_t channels;
    std::optional<std::vector<uint16_t>> map;
    std::string expected;
  };
  const Case cases[] = {
      {2, std::nullopt, "a channel map is required to deliver 2 of the device's 4 input channels"},
      {5, std::nullopt, "the input device does not support 5 delivered channels; it reports 4"},
      {2, std::vector<uint16_t>{1},
       "the channel map has 1 entries; it must have exactly one entry per delivered channel (2)"},
      {3, std::vector<uint16_t>{0, 4, 7},
       "the channel map names device channel 4; the device reports 4 input channels"},
  };
  for (const Case& test : cases) {
    SourceConfig c = config(48000, test.channels, 256);
    c.channel_map = test.map;
    auto cap = capture(c, "quad");
    EXPECT_EQ(start_message(*cap), test.expected);
    EXPECT_FALSE(cap->is_running());
    EXPECT_EQ(message(cap->read(0ms).error()), "not running");
  }
}

TEST_F(Capturing, StartFailuresAndRefusals) {
  auto busy = capture(config(16000, 1, 160), "busymic");
  EXPECT_EQ(start_message(*busy), "Failed to enumerate devices: Device or resource busy");
  EXPECT_FALSE(busy->is_running());

  auto gone = capture(config(16000, 1, 160), "unlisted");
  EXPECT_EQ(start_message(*gone), "No microphone found matching \"alsa:unlisted\"");

  auto c = capture(config(16000, 1, 160), "mono16");
  EXPECT_EQ(message(c->read(std::nullopt).error()), "not running");
  ASSERT_EQ(start_message(*c), "");
  EXPECT_EQ(start_message(*c), "already running");
  EXPECT_TRUE(c->is_running());
  c->stop();
  c->stop();
  EXPECT_FALSE(c->is_running());
  EXPECT_EQ(c->overrun_count(), 0u);
  EXPECT_EQ(message(c->read(0ms).error()), "not running");
}

TEST_F(Capturing, FramesArriveIntactAcrossBlocks) {
  auto c = capture(config(16000, 1, 160), "mono16");
  ASSERT_EQ(start_message(*c), "");
  test_card::RampFollower ramp;
  for (int b = 0; b < 100; ++b) ramp.feed(read_block(*c).samples);
  EXPECT_EQ(ramp.breaks(), 0u);
  EXPECT_EQ(ramp.first(), 0u);
  EXPECT_EQ(ramp.samples(), 16000u);
  EXPECT_EQ(c->overrun_count(), 0u);
}

TEST_F(Capturing, ASleepingReaderLosesWholePeriodsAndCountsThem) {
  constexpr uint32_t kPeriod = 160;
  auto c = capture(config(16000, 1, kPeriod), "mono16");
  ASSERT_EQ(start_message(*c), "");
  // 64 periods last 640 ms; sleeping longer fills the queue.
  std::this_thread::sleep_for(1200ms);
  ASSERT_GT(c->overrun_count(), 0u);
  // The queued periods, then a single jump over the dropped ones, then the periods that
  // came once the reader was back.
  test_card::RampFollower ramp;
  for (size_t b = 0; b < kCaptureQueueCapacity + 10; ++b) ramp.feed(read_block(*c).samples);
  const uint64_t overruns = c->overrun_count();
  ASSERT_EQ(ramp.breaks(), 1u);
  EXPECT_EQ(ramp.last_break_to() - ramp.last_break_from(), overruns * kPeriod);
  EXPECT_EQ(ramp.first(), 0u);
}

// The device itself stops for 700 ms, four times its buffer, while the reader keeps
// up: the frames lost at the device show as a jump of the ramp, and the overrun counter
// covers them in whole periods.
TEST_F(Capturing, FramesLostAtTheDeviceAreCountedAsOverruns) {
  constexpr uint32_t kPeriod = 160;
  auto c = capture(config(16000, 1, kPeriod), "stall16");
  ASSERT_EQ(start_message(*c), "");
  test_card::RampFollower ramp;
  while ((ramp.breaks() == 0 || ramp.samples() < 6400) && ramp.samples() < 80000) {
    ramp.feed(read_block(*c).samples);
  }
  const uint64_t lost = ramp.last_break_to() - ramp.last_break_from();
  const uint64_t counted = c->overrun_count() * kPeriod;
  EXPECT_EQ(ramp.breaks(), 1u);
  EXPECT_GE(lost, 16000u * 700 / 1000 - 2560);  // the stall, less the buffer's 16 periods
  // The count is the time between the audio thread's last look at the device and the
  // restart, at the device's rate: off from the jump by how late the thread woke on
  // either side of the stall.
  EXPECT_GE(counted + 16000 / 25, lost);
  EXPECT_LE(counted, lost + 16000 / 5);
}

TEST_F(Capturing, ZeroTimeoutHandsOutOnlyReadyBlocksAndLosesNothing) {
  auto c = capture(config(16000, 1, 160), "mono16");
  ASSERT_EQ(start_message(*c), "");
  test_card::RampFollower ramp;
  int empty = 0;
  while (ramp.samples() < 8000) {
    auto block = c->read(0ms);
    ASSERT_TRUE(block.ok());
    if (!*block) {
      ++empty;
      std::this_thread::sleep_for(3ms);
      continue;
    }
    ASSERT_EQ((*block)->samples.size(), 160u);
    ramp.feed((*block)->samples);
  }
  EXPECT_GT(empty, 0);
  EXPECT_EQ(ramp.breaks(), 0u);
  // A timeout longer than a period delivers.
  auto block = c->read(1000ms);
  ASSERT_TRUE(block.ok() && block->has_value());
}

// Readers that wait, and readers that poll without waiting, see the same end.
class LostDevice : public Capturing,
                   public ::testing::WithParamInterface<std::optional<std::chrono::milliseconds>> {};

TEST_P(LostDevice, DrainsThenFailsOnceThenIsClosed) {
  // 4800 device frames at 48 kHz become about 1600 frames at 16 kHz plus the
  // resampler's tail: full blocks of 160, one short block, then the failure.
  auto c = capture(config(16000, 1, 160), "lost");
  ASSERT_EQ(start_message(*c), "");
  std::vector<size_t> sizes;
  std::string failure;
  while (true) {
    auto block = c->read(GetParam());
    if (!block) {
      failure = message(block.error());
      break;
    }
    if (!*block) {
      std::this_thread::sleep_for(2ms);
      continue;
    }
    sizes.push_back((*block)->samples.size());
  }
  ASSERT_GE(sizes.size(), 2u);
  for (size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], 160u);
  EXPECT_LT(sizes.back(), 160u);
  EXPECT_EQ(failure, "murello: audio device error: No such device");
  EXPECT_EQ(message(c->read(std::nullopt).error()), "Microphone stream is closed");
  EXPECT_EQ(message(c->read(0ms).error()), "Microphone stream is closed");
  c->stop();
  EXPECT_EQ(message(c->read(0ms).error()), "not running");
}

INSTANTIATE_TEST_SUITE_P(WaitingOrPolling, LostDevice,
                         ::testing::Values(std::nullopt, std::optional(0ms)));

TEST_F(Capturing, StopEndsAReadBlockedWithoutTimeout) {
  // A period of half a second: nothing arrives before the stop.
  auto c = capture(config(8000, 1, 4000), "silent8");
  ASSERT_EQ(start_message(*c), "");
  std::optional<std::string> outcome;
  std::thread reader([&] {
    auto block = c->read(std::nullopt);
    outcome = block ? "block" : message(block.error());
  });
  std::this_thread::sleep_for(100ms);
  c->stop();
  reader.join();
  EXPECT_EQ(outcome, "Microphone stream is closed");
}

TEST_F(Capturing, EnergyScoreHearsTheSignalBeforeConditioning) {
  SourceConfig c = config(16000, 1, 320);
  c.vad = true;
  c.vad_mode = "energy";
  c.agc = -30;
  auto cap = capture(c, "quadsine");
  ASSERT_EQ(start_message(*cap), "");
  for (int b = 0; b < 10; ++b) read_block(*cap);
  // The RMS of a sine of amplitude 0.5, whatever the AGC made of it.
  EXPECT_NEAR(cap->vad_probability(), 0.5f / std::sqrt(2.0f), 0.01f);

  SourceConfig quiet = config(8000, 1, 160);
  quiet.vad = true;
  quiet.vad_mode = "energy";
  auto silent = capture(quiet, "silent8");
  ASSERT_EQ(start_message(*silent), "");
  read_block(*silent);
  EXPECT_EQ(silent->vad_probability(), 0.0f);
}

size_t entries(const char* dir) {
  size_t count = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++count;
    closedir(d);
  }
  return count;
}

TEST_F(Capturing, ThousandStartsAndStopsLeakNothing) {
  auto c = capture(config(16000, 1, 160), "mono16");
  for (int i = 0; i < 20; ++i) {  // ALSA loads its configuration and the plugin once
    ASSERT_EQ(start_message(*c), "");
    c->stop();
  }
  const size_t fds = entries("/proc/self/fd");
  const size_t threads = entries("/proc/self/task");
  const size_t heap = mallinfo2().uordblks;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(start_message(*c), "");
    c->stop();
  }
  EXPECT_EQ(entries("/proc/self/fd"), fds);
  EXPECT_EQ(entries("/proc/self/task"), threads);
  EXPECT_LT(mallinfo2().uordblks, heap + 256 * 1024);
}

TEST_F(Capturing, ConcurrentStartsAndStopsKeepOneStream) {
  auto c = capture(config(16000, 1, 160), "mono16");
  std::atomic<int> started{0};
  std::atomic<int> refused{0};
  std::atomic<int> other{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        const std::string m = start_message(*c);
        (m.empty() ? started : m == "already running" ? refused : other).fetch_add(1);
        if (!m.empty() && m != "already running") ADD_FAILURE() << m;
        // A stop by another thread may end this read: the stream is then closed.
        auto block = c->read(0ms);
        if (!block && message(block.error()) != "not running" &&
            message(block.error()) != "Microphone stream is closed") {
          ADD_FAILURE() << message(block.error());
          other.fetch_add(1);
        }
        c->stop();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(started.load() + refused.load(), 200);
  EXPECT_GT(started.load(), 0);
  EXPECT_FALSE(c->is_running());
}

}  // namespace
}  // namespace murello
