// FLAC encoding speed and size against the reference encoder on the same input.
//
// Usage: bench_flac_encode FILE.wav...   (16-bit WAV; bench/flac_encode.py makes the
// material and runs this). For levels 0, 5 and 8 it encodes each file with encode_flac
// and with `flac -N`, best of five runs each, and prints sizes, times and the ratios
// ours / reference. Times are CPU seconds (user + system), which other work on a shared
// machine disturbs far less than wall time. The reference is timed as a whole process
// (reading the WAV file and writing its output included); ours from float samples in
// memory to bytes in memory.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audiofile/container.hpp"
#include "audiofile/flac_encoder/encoder.hpp"
#include "timing.hpp"

namespace {

using murello::bench::children_cpu_seconds;
using murello::bench::own_cpu_seconds;

constexpr int kRuns = 5;

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
    double start = own_cpu_seconds();
    auto written = murello::encode_flac(
        {audio.sample_rate_hz, audio.channels, 16, uint8_t(level)}, audio.samples, out);
    m.seconds = std::min(m.seconds, own_cpu_seconds() - start);
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
    double start = children_cpu_seconds();
    int status = std::system(command.c_str());
    m.seconds = std::min(m.seconds, children_cpu_seconds() - start);
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
  std::printf("%-16s %5s %12s %12s %10s %10s %10s %10s\n", "input", "level", "ours bytes",
              "flac bytes", "size ratio", "ours cpu s", "flac cpu s", "time ratio");
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
      std::printf("%-16s %5u %12zu %12zu %10.4f %10.3f %10.3f %10.3f\n", name.c_str(), level,
                  a.bytes, b.bytes, double(a.bytes) / double(b.bytes), a.seconds, b.seconds,
                  a.seconds / b.seconds);
    }
  }
  return 0;
}
