// Times decode_flac (MD5 checked) against the reference tool's `flac -t`, which also
// decodes and checks the MD5, on the same files in the same run.
//
//   bench_flac_decode [--runs R] FILE.flac...
//
// For each file and each of R interleaved rounds it times (a) reading the file into
// memory and decoding it, (b) decoding only, from memory, and (c) one `flac -s -t FILE`
// process. It prints the best time of each and the ratios murello / flac (below 1.0
// means murello is faster). bench/flac_decode.py makes suitable files and runs this.
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <spawn.h>
#include <string>
#include <vector>

#include "audiofile/flac/decoder.hpp"
#include "timing.hpp"

extern char** environ;

namespace {

using murello::bench::Clock;
using murello::bench::seconds_since;

std::vector<uint8_t> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<uint8_t> bytes(size_t(std::max<std::streamoff>(in.tellg(), 0)));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  return bytes;
}

// Wall time of one `flac -s -t path` process, or a negative value when it fails.
double time_reference(const char* path) {
  const char* argv[] = {"flac", "-s", "-t", path, nullptr};
  auto start = Clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, "flac", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  double elapsed = seconds_since(start);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1;
}

struct Best {
  double read_and_decode = std::numeric_limits<double>::infinity();
  double decode_only = std::numeric_limits<double>::infinity();
  double reference = std::numeric_limits<double>::infinity();
};

bool bench_file(const char* path, int runs, Best& best, size_t& samples) {
  for (int run = 0; run < runs; ++run) {
    auto start = Clock::now();
    std::vector<uint8_t> bytes = read_file(path);
    auto read_done = Clock::now();
    auto decoded = murello::decode_flac(bytes);
    double total = seconds_since(start);
    double decode = seconds_since(read_done);
    if (!decoded) {
      std::fprintf(stderr, "%s: %s\n", path, decoded.error().display().c_str());
      return false;
    }
    samples = decoded->samples.size();
    best.read_and_decode = std::min(best.read_and_decode, total);
    best.decode_only = std::min(best.decode_only, decode);
    double reference = time_reference(path);
    if (reference < 0) {
      std::fprintf(stderr, "%s: flac -t failed or is not installed\n", path);
      return false;
    }
    best.reference = std::min(best.reference, reference);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
    else files.push_back(argv[i]);
  }
  if (files.empty() || runs < 1) {
    std::fprintf(stderr, "usage: %s [--runs R] FILE.flac...\n", argv[0]);
    return 2;
  }
  std::printf("# best of %d interleaved runs; times in seconds; ratio = murello / flac -t\n", runs);
  std::printf("%-28s %10s %10s %10s %10s %12s %12s\n", "file", "samples", "read+dec", "decode",
              "flac -t", "ratio(r+d)", "ratio(dec)");
  for (const char* path : files) {
    Best best;
    size_t samples = 0;
    if (!bench_file(path, runs, best, samples)) return 1;
    std::string name = path;
    name = name.substr(name.find_last_of('/') + 1);
    std::printf("%-28s %10zu %10.4f %10.4f %10.4f %12.3f %12.3f\n", name.c_str(), samples,
                best.read_and_decode, best.decode_only, best.reference,
                best.read_and_decode / best.reference, best.decode_only / best.reference);
  }
  return 0;
}
