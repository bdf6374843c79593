// Times the file source against sox and the reference flac decoder, in the same run, on a
// stereo 48 kHz FLAC file.
//
//   bench_file_pump [--runs R] [--minutes M] [FILE.flac]
//
// Without a file it writes M minutes (default 10) of a noisy stereo tone at 48 kHz with
// the project's own FLAC encoder into a temporary file. For each of R interleaved rounds
// it times:
//   pump:    FileSource::open at 16 kHz mono and every read() to the end
//   sox:     one `sox FILE -t f32 -c 1 -r 16000 -` process (decode, down-mix, resample)
//   decode:  FileSource::open at the file's own rate and channels and every read()
//   flac -d: one `flac -d -s -c FILE` process (decode only)
// and prints the best CPU time (user + system) of each with the ratios pump / sox and
// decode / flac -d (below 1.0 means murello is faster), then the same for wall time.
// CPU time is the steadier figure on a shared machine. The tools' output goes to
// /dev/null.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "files/file.hpp"
#include "files/file_io.hpp"
#include "audiofile/flac_encoder/encoder.hpp"
#include "timing.hpp"

extern char** environ;

namespace {

using murello::bench::Clock;
using murello::bench::cpu_seconds;
using murello::bench::own_cpu_seconds;
using murello::bench::seconds_since;

constexpr uint32_t kRateHz = 48000;

struct Times {
  double cpu = std::numeric_limits<double>::infinity();
  double wall = std::numeric_limits<double>::infinity();

  void keep_best(const Times& run) {
    cpu = std::min(cpu, run.cpu);
    wall = std::min(wall, run.wall);
  }
};

// Times of one process with its stdout sent to /dev/null; nullopt when it fails.
std::optional<Times> time_process(std::vector<const char*> argv) {
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr,
                                   const_cast<char**>(argv.data()), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::nullopt;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double elapsed = seconds_since(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return Times{cpu_seconds(usage), elapsed};
}

// Opens `path` with `config` and reads to the end; returns the delivered sample count,
// or 0 after printing the error.
size_t pump(const std::filesystem::path& path, const murello::SourceConfig& config) {
  auto source = murello::FileSource::open(path, config);
  if (!source) {
    std::fprintf(stderr, "%s\n", source.error().message().c_str());
    return 0;
  }
  size_t delivered = 0;
  while (true) {
    auto chunk = (*source)->read();
    if (!chunk) {
      std::fprintf(stderr, "%s\n", chunk.error().message().c_str());
      return 0;
    }
    if (!chunk->has_value()) return delivered;
    delivered += (*chunk)->samples.size();
  }
}

bool write_test_file(const std::filesystem::path& path, double minutes) {
  const size_t frames = static_cast<size_t>(minutes * 60 * kRateHz);
  std::vector<float> samples(frames * 2);
  std::mt19937 random(7);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  for (size_t f = 0; f < frames; ++f) {
    const float t = static_cast<float>(f) / kRateHz;
    samples[2 * f] = 0.4f * std::sin(2 * std::numbers::pi_v<float> * 220.0f * t) + noise(random);
    samples[2 * f + 1] =
        0.3f * std::sin(2 * std::numbers::pi_v<float> * 330.0f * t) + noise(random);
  }
  std::vector<uint8_t> bytes;
  auto encoded = murello::encode_flac({kRateHz, 2, 16, 5}, samples, bytes);
  if (!encoded) return false;
  return murello::write_whole_file(path, bytes).ok();
}

// Times of opening `path` with `config` and reading to the end; nullopt on an error.
std::optional<Times> time_pump(const std::filesystem::path& path,
                               const murello::SourceConfig& config) {
  const double cpu = own_cpu_seconds();
  const auto start = Clock::now();
  if (pump(path, config) == 0) return std::nullopt;
  return Times{own_cpu_seconds() - cpu, seconds_since(start)};
}

struct Best {
  Times pump, sox, decode, flac;
};

void print_ratio(const char* what, double ours, const char* peer, double theirs) {
  std::printf("  %-28s %8.3f   %-8s %8.3f   ratio %.3f\n", what, ours, peer, theirs,
              ours / theirs);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  double minutes = 10;
  std::string given;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--minutes") && i + 1 < argc) minutes = std::atof(argv[++i]);
    else given = argv[i];
  }
  if (runs < 1 || minutes <= 0) {
    std::fprintf(stderr, "usage: %s [--runs R] [--minutes M] [FILE.flac]\n", argv[0]);
    return 2;
  }
  const auto path = given.empty()
                        ? std::filesystem::temp_directory_path() /
                              ("murello-bench-" + std::to_string(getpid()) + ".flac")
                        : std::filesystem::path(given);
  if (given.empty() && !write_test_file(path, minutes)) {
    std::fprintf(stderr, "could not write %s\n", path.c_str());
    return 1;
  }
  murello::SourceConfig to_16k_mono;  // 16 kHz mono, the defaults
  murello::SourceConfig native;
  native.sample_rate = kRateHz;
  native.channels = 2;

  Best best;
  bool ok = true;
  for (int run = 0; run < runs && ok; ++run) {
    const auto pumped = time_pump(path, to_16k_mono);
    const auto sox = time_process({"sox", "-q", path.c_str(), "-t", "f32", "-c", "1", "-r",
                                   "16000", "-"});
    const auto decoded = time_pump(path, native);
    const auto flac = time_process({"flac", "-d", "-s", "-c", path.c_str()});
    ok = pumped && decoded;
    if (!sox || !flac) {
      std::fprintf(stderr, "sox or flac failed or is not installed\n");
      ok = false;
    }
    if (!ok) break;
    best.pump.keep_best(*pumped);
    best.sox.keep_best(*sox);
    best.decode.keep_best(*decoded);
    best.flac.keep_best(*flac);
  }
  if (given.empty()) std::filesystem::remove(path);
  if (!ok) return 1;
  std::printf("# %s, best of %d interleaved runs, seconds; ratio below 1.0: murello faster\n",
              given.empty() ? "generated 48 kHz stereo FLAC" : given.c_str(), runs);
  std::printf("cpu (user + system)\n");
  print_ratio("open+read as 16 kHz mono", best.pump.cpu, "sox", best.sox.cpu);
  print_ratio("open+read at 48 kHz stereo", best.decode.cpu, "flac -d", best.flac.cpu);
  std::printf("wall\n");
  print_ratio("open+read as 16 kHz mono", best.pump.wall, "sox", best.sox.wall);
  print_ratio("open+read at 48 kHz stereo", best.decode.wall, "flac -d", best.flac.wall);
  return 0;
}
