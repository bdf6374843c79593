// Times decode_audio (container detection plus the WAV/AIFF readers) on whole files held
// in memory.
//
//   bench_decode [--runs R] FILE...
//
// Each file is read into memory once; the best of R decodes is reported as MB/s of file
// bytes (1 MB = 10^6 bytes), one line per file:
//   <path> <file bytes> <best seconds> <MB/s>
// bench/decode.py makes 60 s stereo test files, runs this and times libsndfile on the same
// files, then prints the ratios.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "audiofile/container.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Best decode time in seconds, or a negative value when the file does not decode.
double best_decode_seconds(const std::vector<uint8_t>& file, int runs) {
  double best = std::numeric_limits<double>::infinity();
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    auto decoded = murello::decode_audio(file);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (!decoded) {
      std::fprintf(stderr, "decode failed: %s\n", decoded.error().display().c_str());
      return -1;
    }
    if (elapsed < best) best = elapsed;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 20;
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--runs") == 0) {
    runs = std::atoi(argv[2]);
    first = 3;
  }
  if (first >= argc || runs < 1) {
    std::fprintf(stderr, "usage: bench_decode [--runs R] FILE...\n");
    return 2;
  }
  int status = 0;
  for (int i = first; i < argc; ++i) {
    const std::vector<uint8_t> file = read_file(argv[i]);
    const double seconds = best_decode_seconds(file, runs);
    if (seconds < 0) {
      status = 1;
      continue;
    }
    std::printf("%s %zu %.6f %.1f\n", argv[i], file.size(), seconds,
                static_cast<double>(file.size()) / seconds / 1e6);
  }
  return status;
}
