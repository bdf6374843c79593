// FLAC encoding speed and size against the reference encoder on the same input.
//
// Usage: bench_flac_encode FILE.wav...   (16-bit WAV; bench/flac_encode.py makes the
// material and runs this). For levels 0, 5 and 8 it encodes each file with encode_flac
// and with `flac -N`, best of three runs each, and prints sizes, times and the ratios
// ours / reference. The reference is timed as a whole process (reading the WAV file and
// writing its output included); ours from float samples in memory to bytes in memory.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decode/container.hpp"
#include "decode/flac_encoder.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 3;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct Measure {
  size_t bytes = 0;
  double seconds = 1e30;
};

Measure ours(const murello::DecodedAudio& audio, unsigned level) {
  Measure m;
  std::vector<uint8_t> out;
  for (int run = 0; run < kRuns; ++run) {
    out.clear();
    auto start = Clock::now();
    auto written = murello::encode_flac(
        {audio.sample_rate_hz, audio.channels, 16, uint8_t(level)}, audio.samples, out);
    m.seconds = std::min(m.seconds, seconds_since(start));
    if (!written) {
      std::fprintf(stderr, "encode_flac: %s\n", written.error().display().c_str());
      std::exit(1);
    }
    m.bytes = out.size();
  }
  return m;
}

Measure reference(const std::string& wav, unsigned level) {
  Measure m;
  std::string out = (std::filesystem::temp_directory_path() / "bench_flac_encode_ref.flac").string();
  std::string command = "flac -" + std::to_string(level) + " -f -s -o '" + out + "' '" + wav + "'";
  for (int run = 0; run < kRuns; ++run) {
    auto start = Clock::now();
    int status = std::system(command.c_str());
    m.seconds = std::min(m.seconds, seconds_since(start));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "%s failed\n", command.c_str());
      std::exit(1);
    }
  }
  m.bytes = std::filesystem::file_size(out);
  std::filesystem::remove(out);
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.wav...\n", argv[0]);
    return 2;
  }
  std::printf("%-16s %5s %12s %12s %10s %9s %9s %10s\n", "input", "level", "ours bytes",
              "flac bytes", "size ratio", "ours s", "flac s", "time ratio");
  for (int i = 1; i < argc; ++i) {
    auto decoded = murello::decode_audio(read_file(argv[i]));
    if (!decoded) {
      std::fprintf(stderr, "%s: %s\n", argv[i], decoded.error().display().c_str());
      return 1;
    }
    std::string name = std::filesystem::path(argv[i]).filename().string();
    for (unsigned level : {0u, 5u, 8u}) {
      Measure a = ours(*decoded, level);
      Measure b = reference(argv[i], level);
      std::printf("%-16s %5u %12zu %12zu %10.4f %9.3f %9.3f %10.3f\n", name.c_str(), level,
                  a.bytes, b.bytes, double(a.bytes) / double(b.bytes), a.seconds, b.seconds,
                  a.seconds / b.seconds);
    }
  }
  return 0;
}
