// Latency of the playback queue on the test sound card: from a write returning to the
// audio thread taking the chunk's first sample for the device.
//
//   bench_playback_latency [--seconds S]
//
// 48 kHz stereo, 10 ms chunks, the device's default 10 ms period and 4-period buffer,
// S seconds per run (default 20), two writers:
//   paced:   the queue's back-pressure is the only pacing (writes as fast as accepted):
//            a chunk waits behind the 31 others queued, so about 320 ms;
//   on time: one chunk every 10 ms of the clock, the way a live source writes: the
//            queue stays nearly empty and a chunk waits for the next device period.
// The playback feed and stream are wired as Playback wires them, with a clock reading in
// the data callback. Each chunk's samples carry its number, so the callback sees where
// a chunk begins. Latencies are p50 / p99 / max in ms; a chunk taken before its write
// returned counts as 0. The card's xrun count is shown too: the device loses the time an
// xrun lasts, so on a busy machine an on-time writer's chunks queue up behind it.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devices/stream.hpp"
#include "playback/playback_feed.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kRateHz = 48000;
constexpr uint16_t kChannels = 2;
constexpr size_t kChunkSamples = 480 * kChannels;

struct Figures {
  double p50_ms = 0;
  double p99_ms = 0;
  double max_ms = 0;
  size_t chunks = 0;
  std::string xruns;
};

bool run(bool on_time, double seconds, Figures& out) {
  const size_t count = static_cast<size_t>(seconds * 100);
  // Written by the audio thread for chunk k once it sees the chunk's first sample.
  std::vector<std::atomic<int64_t>> taken_ns(count + 1);
  std::vector<int64_t> returned_ns(count + 1, 0);
  const auto origin = Clock::now();
  auto now_ns = [&] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - origin).count();
  };

  const std::string stats = "/tmp/murello-playback-latency-" + std::to_string(getpid());
  auto feed = std::make_shared<murello::PlaybackFeed>();
  float last = 0.0f;  // audio thread only
  auto stream = murello::Stream::build_output(
      murello::DeviceHandle{"speaker:STATS=" + stats, std::nullopt},
      murello::StreamConfig{kChannels, kRateHz, std::nullopt},
      [&](std::span<float> out, const murello::OutputTiming&) {
        feed->fill(out);
        const int64_t t = now_ns();
        for (float v : out) {
          if (v != last && v >= 1.0f && v <= float(count)) {
            taken_ns[static_cast<size_t>(v)].store(t, std::memory_order_relaxed);
          }
          last = v;
        }
      },
      [&](std::string_view text) {
        std::fprintf(stderr, "stream error: %.*s\n", int(text.size()), text.data());
        feed->fail(text);
      });
  if (!stream) {
    std::fprintf(stderr, "%s\n", stream.error().message().c_str());
    return false;
  }
  stream->play();
  const auto start = Clock::now();
  for (size_t k = 1; k <= count; ++k) {
    if (on_time) std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * k));
    if (!feed->queue().send(std::vector<float>(kChunkSamples, float(k)))) return false;
    returned_ns[k] = now_ns();
  }
  auto ticket = feed->queue().send_marker();
  while (ticket && feed->queue().markers_taken() < *ticket) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  feed->stop();
  { auto dropped = std::move(stream).value(); }
  // The card writes "frames=N silence=N xruns=N" when it closes.
  if (std::FILE* f = std::fopen(stats.c_str(), "r")) {
    char line[128] = {};
    if (std::fgets(line, sizeof line, f) != nullptr) {
      if (const char* x = std::strstr(line, "xruns=")) {
        out.xruns = std::string(x + 6, std::strcspn(x + 6, "\n"));
      }
    }
    std::fclose(f);
    std::remove(stats.c_str());
  }

  std::vector<double> latency;
  for (size_t k = 1; k <= count; ++k) {
    const int64_t taken = taken_ns[k].load();
    if (taken == 0) continue;
    latency.push_back(std::max<int64_t>(0, taken - returned_ns[k]) / 1e6);
  }
  if (latency.empty()) return false;
  std::sort(latency.begin(), latency.end());
  out.p50_ms = latency[latency.size() / 2];
  out.p99_ms = latency[std::min(latency.size() - 1, latency.size() * 99 / 100)];
  out.max_ms = latency.back();
  out.chunks = latency.size();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 20;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--seconds S]\n", argv[0]);
      return 2;
    }
  }
  setenv("ALSA_CONFIG_PATH", MURELLO_TEST_ALSA_CONFIG, 1);
  std::printf("48 kHz stereo, 10 ms chunks, %.0f s per run; write() return -> taken\n", seconds);
  std::printf("%-8s %9s %9s %9s %8s %6s\n", "writer", "p50 ms", "p99 ms", "max ms", "chunks",
              "xruns");
  int status = 0;
  for (bool on_time : {false, true}) {
    Figures figures;
    if (!run(on_time, seconds, figures)) {
      std::fprintf(stderr, "%s run failed\n", on_time ? "on time" : "paced");
      status = 1;
      continue;
    }
    std::printf("%-8s %9.3f %9.3f %9.3f %8zu %6s\n", on_time ? "on time" : "paced",
                figures.p50_ms, figures.p99_ms, figures.max_ms, figures.chunks,
                figures.xruns.c_str());
  }
  return status;
}
