// Mono resampler throughput. Reads float32 noise from a raw file (or makes its own),
// converts `seconds` of it for each common rate pair (or the one given) in one process()
// call plus flush, and prints one line per pair: the best of several runs, in input
// samples per second, and the rate of multiply-adds a direct form doing T per output
// would need to keep that pace (the pairs that take transform passes do fewer). --block feeds the input in calls of that many frames instead, as a
// stream would. bench/resampler.py runs this program and a peer on the same input, in
// turns, and prints ratios.
//
//   bench_resampler [--input FILE.f32] [--seconds S] [--runs R] [--pair IN:OUT]
//                   [--block FRAMES]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "resampler/polyphase.hpp"
#include "timing.hpp"

namespace {

using murello::bench::Clock;
using murello::bench::seconds_since;

struct Pair {
  uint32_t input_hz;
  uint32_t output_hz;
};

struct Options {
  std::string input;
  double seconds = 10;
  int runs = 5;
  size_t block = 0;  // frames per process() call; 0 for the whole input in one call
  std::vector<Pair> pairs;
};

constexpr Pair kPairs[] = {
    {48000, 16000}, {16000, 48000}, {44100, 16000}, {48000, 44100}, {48000, 44101},
};

std::vector<float> load_noise(const Options& options, size_t frames) {
  std::vector<float> x(frames);
  if (options.input.empty()) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (float& v : x) v = dist(rng);
    return x;
  }
  std::ifstream file(options.input, std::ios::binary);
  file.read(reinterpret_cast<char*>(x.data()), std::streamsize(frames * sizeof(float)));
  x.resize(size_t(file.gcount()) / sizeof(float));
  return x;
}

struct Timing {
  double construct_s = 1e300;
  double process_s = 1e300;
  size_t outputs = 0;
  uint64_t taps = 0;
};

bool time_pair(Pair pair, std::span<const float> in, const Options& options, Timing& timing) {
  std::vector<float> out;
  out.reserve(size_t(double(in.size()) * pair.output_hz / pair.input_hz) + 1000000);
  const size_t block = options.block ? options.block : in.size();
  for (int run = 0; run < options.runs; ++run) {
    const auto built = Clock::now();
    auto r = murello::Resampler::create(pair.input_hz, pair.output_hz);
    if (!r) return false;
    timing.construct_s = std::min(timing.construct_s, seconds_since(built));
    out.clear();
    const auto started = Clock::now();
    for (size_t at = 0; at < in.size(); at += block) {
      if (!r->process(in.subspan(at, std::min(block, in.size() - at)), out)) return false;
    }
    r->flush(out);
    timing.process_s = std::min(timing.process_s, seconds_since(started));
    timing.outputs = out.size();
    timing.taps = r->taps();
  }
  return true;
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--input")) {
      options.input = argv[i + 1];
    } else if (!std::strcmp(argv[i], "--seconds")) {
      options.seconds = std::stod(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--runs")) {
      options.runs = std::stoi(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--block")) {
      options.block = std::stoul(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--pair")) {
      Pair pair{};
      if (std::sscanf(argv[i + 1], "%u:%u", &pair.input_hz, &pair.output_hz) != 2) return false;
      options.pairs.push_back(pair);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && options.seconds > 0 && options.runs > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr, "usage: %s [--input FILE.f32] [--seconds S] [--runs R] [--pair IN:OUT]\n"
                 "       [--block FRAMES]\n",
                 argv[0]);
    return 2;
  }
  if (options.pairs.empty()) options.pairs.assign(std::begin(kPairs), std::end(kPairs));
  uint32_t fastest_hz = 0;
  for (Pair pair : options.pairs) fastest_hz = std::max(fastest_hz, pair.input_hz);
  const std::vector<float> noise = load_noise(options, size_t(options.seconds * fastest_hz));
  std::printf("# best of %d runs\n", options.runs);
  std::printf("%-15s %10s %12s %12s %14s %10s %5s %12s\n", "pair", "inputs", "construct_s",
              "process_s", "Msamples_per_s", "realtime_x", "taps", "Gmacs_per_s");
  for (Pair pair : options.pairs) {
    const size_t frames = std::min(noise.size(), size_t(options.seconds * pair.input_hz));
    const std::span<const float> in(noise.data(), frames);
    Timing t;
    if (!time_pair(pair, in, options, t)) {
      std::fprintf(stderr, "%u -> %u failed\n", pair.input_hz, pair.output_hz);
      return 1;
    }
    const double audio_s = double(frames) / pair.input_hz;
    std::printf("%6u->%-7u %10zu %12.6f %12.6f %14.2f %10.1f %5llu %12.2f\n", pair.input_hz,
                pair.output_hz, frames, t.construct_s, t.process_s,
                double(frames) / t.process_s / 1e6, audio_s / t.process_s,
                static_cast<unsigned long long>(t.taps),
                double(t.outputs) * double(t.taps) / t.process_s / 1e9);
  }
  return 0;
}
