// Costs of a running stream on the test sound card, against ALSA's own tools on the same
// PCM in the same run.
//
//   bench_stream [--seconds S]
//
// For capture (a silent "mic") and playback ("speaker"), 48 kHz stereo with 10 ms periods and an
// empty callback, each run for S seconds (default 60):
//   stream:  a murello stream; CPU time of the process per second of audio, and the
//            lateness of each callback against the ideal period grid (p50, p99, max);
//   peer:    `arecord -D mic ...` into /dev/null, or `aplay -D speaker ...` from
//            /dev/zero, with the same period and buffer; its CPU time per second.
// CPU ratios below 1.0 mean murello is cheaper. The card's own work (it runs inside the
// process that opens it) is part of both figures.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devices/stream.hpp"
#include "timing.hpp"

extern char** environ;

namespace {

using murello::bench::Clock;
using murello::bench::cpu_seconds;
using murello::bench::own_cpu_seconds;

constexpr uint32_t kRateHz = 48000;
constexpr uint16_t kChannels = 2;
constexpr uint32_t kPeriodFrames = 480;
// The stream's buffers, which the tools are given too.
constexpr uint32_t kCaptureBufferFrames = 16 * kPeriodFrames;
constexpr uint32_t kPlaybackBufferFrames = 4 * kPeriodFrames;
// A silent microphone, so that the card's own signal costs next to nothing.
constexpr const char* kMic = "mic:SIGNAL=silence";
constexpr const char* kSpeaker = "speaker";
constexpr double kPeriodSeconds = double{kPeriodFrames} / kRateHz;

struct StreamFigures {
  double cpu_per_second = 0;
  double p50_ms = 0;
  double p99_ms = 0;
  double max_ms = 0;
  size_t callbacks = 0;
};

// Lateness of callback k: its time minus (origin + k periods), the origin chosen so the
// earliest callback is exactly on time. `skip` callbacks at the start are left out: those
// that fill a playback buffer before the device starts come all at once by design.
void fill_lateness(std::vector<double> times, size_t skip, StreamFigures& out) {
  times.erase(times.begin(), times.begin() + std::min(skip, times.size()));
  if (times.empty()) return;
  double origin = times[0];
  for (size_t k = 0; k < times.size(); ++k) origin = std::min(origin, times[k] - k * kPeriodSeconds);
  std::vector<double> late(times.size());
  for (size_t k = 0; k < times.size(); ++k) late[k] = (times[k] - k * kPeriodSeconds - origin) * 1e3;
  std::sort(late.begin(), late.end());
  out.p50_ms = late[late.size() / 2];
  out.p99_ms = late[std::min(late.size() - 1, late.size() * 99 / 100)];
  out.max_ms = late.back();
  out.callbacks = late.size();
}

std::optional<StreamFigures> run_stream(bool capture, double seconds) {
  std::vector<double> times;
  times.reserve(static_cast<size_t>(seconds / kPeriodSeconds) + 1000);
  const auto start = Clock::now();
  auto stamp = [&] {
    if (times.size() < times.capacity()) {
      times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
  };
  murello::DeviceHandle device{capture ? kMic : kSpeaker, std::nullopt};
  murello::StreamConfig config{kChannels, kRateHz, kPeriodFrames};
  auto on_error = [](std::string_view text) {
    std::fprintf(stderr, "stream error: %.*s\n", int(text.size()), text.data());
  };
  auto stream = capture ? murello::Stream::build_input(
                              device, config, [&](std::span<const float>) { stamp(); }, on_error)
                        : murello::Stream::build_output(
                              device, config,
                              [&](std::span<float> out, const murello::OutputTiming&) {
                                std::fill(out.begin(), out.end(), 0.0f);
                                stamp();
                              },
                              on_error);
  if (!stream) {
    std::fprintf(stderr, "%s\n", stream.error().message().c_str());
    return std::nullopt;
  }
  const double cpu = own_cpu_seconds();
  stream->play();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  { auto dropped = std::move(stream).value(); }
  StreamFigures figures;
  figures.cpu_per_second = (own_cpu_seconds() - cpu) / seconds;
  fill_lateness(std::move(times), capture ? 0 : kPlaybackBufferFrames / kPeriodFrames, figures);
  return figures;
}

// CPU seconds per second of audio of one tool run; nullopt when it fails.
std::optional<double> run_peer(bool capture, double seconds) {
  std::string duration = std::to_string(static_cast<int>(seconds));
  std::string buffer = "--buffer-size=" +
                       std::to_string(capture ? kCaptureBufferFrames : kPlaybackBufferFrames);
  std::vector<const char*> argv = {capture ? "arecord" : "aplay", "-q", "-D",
                                   capture ? kMic : kSpeaker, "-f", "FLOAT_LE", "-r", "48000",
                                   "-c", "2", "-t", "raw", "--period-size=480",
                                   buffer.c_str(), "-d", duration.c_str()};
  argv.push_back(capture ? "/dev/null" : "/dev/zero");
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv.data()), environ) !=
      0) {
    return std::nullopt;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return cpu_seconds(usage) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--seconds S]\n", argv[0]);
      return 2;
    }
  }
  setenv("ALSA_CONFIG_PATH", MURELLO_TEST_ALSA_CONFIG, 1);
  std::printf("48 kHz stereo, %u-frame periods, %.0f s per run\n", kPeriodFrames, seconds);
  std::printf("%-9s %12s %12s %7s %9s %9s %9s %9s\n", "", "stream CPU", "peer CPU", "ratio",
              "p50 ms", "p99 ms", "max ms", "periods");
  int status = 0;
  for (bool capture : {true, false}) {
    auto ours = run_stream(capture, seconds);
    auto peer = run_peer(capture, seconds);
    if (!ours || !peer) {
      std::fprintf(stderr, "%s run failed\n", capture ? "capture" : "playback");
      status = 1;
      continue;
    }
    std::printf("%-9s %11.3f%% %11.3f%% %7.2f %9.3f %9.3f %9.3f %9zu\n",
                capture ? "capture" : "playback", ours->cpu_per_second * 100, *peer * 100,
                *peer > 0 ? ours->cpu_per_second / *peer : 0.0, ours->p50_ms, ours->p99_ms,
                ours->max_ms, ours->callbacks);
  }
  return status;
}
