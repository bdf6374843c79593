#include "signals.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "aec/fft.hpp"

namespace murello::aec::testing {
namespace {

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

}  // namespace

std::string missing_speech_message() { return "espeak-ng and sox are needed to make test speech"; }

std::optional<std::vector<float>> speech(const std::string& voice, const std::string& text, double seconds,
                                         std::size_t rate) {
  const auto dir = std::filesystem::temp_directory_path();
  const std::string stem = "murello-aec-" + std::to_string(::getpid()) + "-" + voice;
  const auto wav = dir / (stem + ".wav");
  const auto raw = dir / (stem + ".f32");
  const std::string command = "espeak-ng -v " + quoted(voice) + " -w " + quoted(wav.string()) + " " + quoted(text) +
                              " 2>/dev/null && sox " + quoted(wav.string()) +
                              " -r " + std::to_string(rate) + " -c 1 -e floating-point -b 32 -t raw " + quoted(raw.string()) +
                              " 2>/dev/null";
  const int status = std::system(command.c_str());
  std::vector<float> once;
  if (status == 0) {
    std::ifstream in(raw, std::ios::binary);
    in.seekg(0, std::ios::end);
    once.resize(static_cast<std::size_t>(in.tellg()) / sizeof(float));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(once.data()), static_cast<std::streamsize>(once.size() * sizeof(float)));
  }
  std::filesystem::remove(wav);
  std::filesystem::remove(raw);
  if (once.empty()) return std::nullopt;
  float peak = 0.0f;
  for (float v : once) peak = std::max(peak, std::fabs(v));
  std::vector<float> out(static_cast<std::size_t>(seconds * static_cast<double>(rate)));
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = 0.5f * once[i % once.size()] / peak;
  return out;
}

std::vector<float> room(double direct, double decay_ms, double length_ms, unsigned seed, std::size_t rate) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, 1.0);
  const double per_ms = static_cast<double>(rate) / 1000;
  std::vector<float> h(static_cast<std::size_t>(length_ms * per_ms));
  const double per_sample = std::log(1000.0) / (decay_ms * per_ms);  // 60 dB over the decay
  for (std::size_t i = 0; i < h.size(); ++i) h[i] = static_cast<float>(0.1 * direct * g(rng) * std::exp(-per_sample * i));
  h[0] = static_cast<float>(direct);
  return h;
}

std::vector<float> convolve(std::span<const float> x, std::span<const float> h) {
  std::size_t n = 2;
  while (n < 2 * h.size()) n *= 2;
  n = std::max<std::size_t>(n, 4096);
  const std::size_t hop = n - h.size() + 1;
  auto plan = std::move(RealFft::create(n)).value();
  std::vector<float> frame(n, 0.0f);
  std::copy(h.begin(), h.end(), frame.begin());
  std::vector<Complex> response;
  (void)plan.forward(frame, response);
  std::vector<Complex> spectrum;
  std::vector<float> y(x.size() + h.size(), 0.0f);
  std::vector<float> block;
  for (std::size_t start = 0; start < x.size(); start += hop) {
    std::fill(frame.begin(), frame.end(), 0.0f);
    const std::size_t count = std::min(hop, x.size() - start);
    std::copy_n(x.begin() + static_cast<std::ptrdiff_t>(start), count, frame.begin());
    (void)plan.forward(frame, spectrum);
    for (std::size_t k = 0; k < spectrum.size(); ++k) spectrum[k] = multiply(spectrum[k], response[k]);
    (void)plan.inverse(spectrum, block);
    for (std::size_t i = 0; i < n && start + i < y.size(); ++i) y[start + i] += block[i];
  }
  y.resize(x.size());
  return y;
}

std::vector<float> low_pass(std::span<const float> x, double cutoff_hz, std::size_t rate) {
  std::size_t n = 2;
  while (n < x.size()) n *= 2;
  auto plan = std::move(RealFft::create(n)).value();
  std::vector<float> frame(n, 0.0f);
  std::copy(x.begin(), x.end(), frame.begin());
  std::vector<Complex> spectrum;
  (void)plan.forward(frame, spectrum);
  for (std::size_t k = 0; k < spectrum.size(); ++k) {
    if (static_cast<double>(k) * static_cast<double>(rate) / static_cast<double>(n) > cutoff_hz) spectrum[k] = {};
  }
  (void)plan.inverse(spectrum, frame);
  frame.resize(x.size());
  return frame;
}

std::vector<float> noise(std::size_t n, double level, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> g(0.0, level);
  std::vector<float> x(n);
  for (float& v : x) v = static_cast<float>(g(rng));
  return x;
}

std::vector<float> delayed(std::span<const float> x, std::size_t samples) {
  std::vector<float> y(x.size(), 0.0f);
  for (std::size_t i = samples; i < x.size(); ++i) y[i] = x[i - samples];
  return y;
}

void add(std::vector<float>& to, std::span<const float> x, double gain) {
  for (std::size_t i = 0; i < to.size() && i < x.size(); ++i) to[i] += static_cast<float>(gain * x[i]);
}

double rms(std::span<const float> x) {
  double e = 0.0;
  for (float v : x) e += static_cast<double>(v) * v;
  return x.empty() ? 0.0 : std::sqrt(e / static_cast<double>(x.size()));
}

double ratio_db(std::span<const float> a, std::span<const float> b, std::size_t begin, std::size_t end) {
  double ea = 0.0, eb = 0.0;
  for (std::size_t i = begin; i < end; ++i) {
    ea += static_cast<double>(a[i]) * a[i];
    eb += static_cast<double>(b[i]) * b[i];
  }
  return 10.0 * std::log10((ea + 1e-20) / (eb + 1e-20));
}

}  // namespace murello::aec::testing
