// Conditioning-chain throughput, as a real-time factor (seconds of audio per second of
// processing on one core). Two cases, each fed in capture-sized blocks and flushed:
//   resampling: 48000 Hz stereo in, 16000 Hz mono out (down-mix, resample, DC removal,
//               100 Hz high-pass, AGC -20 dBFS, limiter -1 dBFS);
//   conditioning only: 16000 Hz mono in and out, the same four stages.
// The first case is also timed with the bare mono resampler on the down-mixed input, the
// floor any chain with resampling pays; the ratio shows what the rest of the chain adds.
// bench/chain.py times sox on the same signal with a comparable effect chain.
//
//   bench_chain [--seconds S] [--runs R] [--block-ms M] [--input FILE.f32]
//
// --input reads interleaved float32 stereo at 48000 Hz; the mono case uses its left
// channel decimated by 3. Without it a synthetic signal is made.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "chain/chain.hpp"
#include "resampler/polyphase.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using murello::Chain;
using murello::ChainFormat;
using murello::ConditioningConfig;

struct Options {
  double seconds = 60;
  int runs = 5;
  double block_ms = 10;
  std::string input;
};

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) {
      options.seconds = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--runs") == 0) {
      options.runs = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--block-ms") == 0) {
      options.block_ms = std::atof(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--input") == 0) {
      options.input = argv[i + 1];
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && options.seconds > 0 && options.runs > 0 && options.block_ms > 0;
}

// Speech-like test signal: noise bursts with a syllable-rate envelope, a hum, an offset.
std::vector<float> synthetic(size_t frames, uint16_t channels, uint32_t rate_hz) {
  std::mt19937 rng(1);
  std::normal_distribution<float> noise(0.0f, 0.1f);
  std::vector<float> out(frames * channels);
  for (size_t f = 0; f < frames; ++f) {
    const double t = double(f) / rate_hz;
    const double envelope = 0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * 4.0 * t);
    const double hum = 0.02 * std::sin(2.0 * std::numbers::pi * 50.0 * t);
    for (size_t k = 0; k < channels; ++k) {
      out[f * channels + k] = static_cast<float>(envelope * noise(rng) + hum + 0.01);
    }
  }
  return out;
}

std::vector<float> read_input(const std::string& path, size_t samples) {
  std::ifstream in(path, std::ios::binary);
  std::vector<float> out(samples);
  in.read(reinterpret_cast<char*>(out.data()), std::streamsize(samples * sizeof(float)));
  out.resize(size_t(in.gcount()) / sizeof(float));
  return out;
}

ConditioningConfig conditioning() {
  ConditioningConfig config;
  config.dc_removal = true;
  config.highpass = murello::HighpassCutoff::Hz100;
  config.agc_db = -20;
  config.limiter_db = -1.0f;
  return config;
}

// Best time of `runs` runs of `body`, in seconds; `body` returns false on failure.
template <class Body>
double best_seconds(int runs, Body body) {
  double best = std::numeric_limits<double>::infinity();
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    if (!body()) return -1;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

// One chain built per run, fed block by block, then flushed.
double time_chain(const ChainFormat& format, const std::vector<float>& in, size_t block_frames,
                  int runs, size_t& delivered) {
  return best_seconds(runs, [&] {
    auto built = Chain::create(format, conditioning());
    if (!built || !built->has_value()) return false;
    Chain& chain = **built;
    const size_t block = block_frames * format.input_channels;
    delivered = 0;
    for (size_t start = 0; start < in.size(); start += block) {
      const size_t length = std::min(block, in.size() - start);
      auto out = chain.process(std::span<const float>(in).subspan(start, length));
      if (!out) return false;
      delivered += out->size();
    }
    std::vector<float> tail;
    if (!chain.flush(tail)) return false;
    delivered += tail.size();
    return true;
  });
}

double time_resampler(const std::vector<float>& mono, size_t block_frames, int runs) {
  std::vector<float> out;
  out.reserve(mono.size());
  return best_seconds(runs, [&] {
    auto resampler = murello::Resampler::create(48000, 16000);
    if (!resampler) return false;
    out.clear();
    for (size_t start = 0; start < mono.size(); start += block_frames) {
      const size_t length = std::min(block_frames, mono.size() - start);
      if (!resampler->process(std::span<const float>(mono).subspan(start, length), out)) {
        return false;
      }
    }
    resampler->flush(out);
    return true;
  });
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr, "usage: bench_chain [--seconds S] [--runs R] [--block-ms M] "
                         "[--input FILE.f32]\n");
    return 2;
  }
  const size_t frames_48k = static_cast<size_t>(options.seconds * 48000);
  std::vector<float> stereo = options.input.empty() ? synthetic(frames_48k, 2, 48000)
                                                    : read_input(options.input, frames_48k * 2);
  const double audio_seconds = double(stereo.size() / 2) / 48000.0;
  std::vector<float> mono_48k(stereo.size() / 2);
  for (size_t f = 0; f < mono_48k.size(); ++f) {
    mono_48k[f] = (stereo[2 * f] + stereo[2 * f + 1]) / 2.0f;
  }
  std::vector<float> mono_16k(stereo.size() / 6);
  for (size_t f = 0; f < mono_16k.size(); ++f) mono_16k[f] = stereo[6 * f];

  const size_t block_48k = static_cast<size_t>(options.block_ms * 48);
  const size_t block_16k = static_cast<size_t>(options.block_ms * 16);
  size_t delivered_resampling = 0;
  size_t delivered_plain = 0;
  const double resampling = time_chain({2, 1, 48000, 16000}, stereo, block_48k, options.runs,
                                       delivered_resampling);
  const double plain = time_chain({1, 1, 16000, 16000}, mono_16k, block_16k, options.runs,
                                  delivered_plain);
  const double bare = time_resampler(mono_48k, block_48k, options.runs);
  if (resampling < 0 || plain < 0 || bare < 0) {
    std::fprintf(stderr, "a chain or resampler failed\n");
    return 1;
  }
  std::printf("# %.1f s of audio, %.1f ms blocks, best of %d runs, one core\n", audio_seconds,
              options.block_ms, options.runs);
  std::printf("# case                          seconds  real-time factor  output samples\n");
  std::printf("48k-stereo->16k-mono+cond      %8.4f  %10.0fx  %zu\n", resampling,
              audio_seconds / resampling, delivered_resampling);
  std::printf("16k-mono+cond                  %8.4f  %10.0fx  %zu\n", plain,
              audio_seconds / plain, delivered_plain);
  std::printf("peer: bare 48k->16k resampler  %8.4f  %10.0fx\n", bare, audio_seconds / bare);
  std::printf("ratio chain / bare resampler   %8.2f\n", resampling / bare);
  return 0;
}
