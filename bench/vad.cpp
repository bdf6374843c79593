// Voice-activity analysis and denoiser throughput against a Python loop over the same
// runtime (PyPI onnxruntime, one intra-op thread, same model, same tensors).
//
// Usage: bench_vad [minutes]   (default 10)
// Needs the project's .venv with onnxruntime, onnx and silero-vad; espeak-ng and sox for
// the speech-like signal (amplitude-modulated noise otherwise).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vad/analysis.hpp"
#include "chain/denoise.hpp"

namespace fs = std::filesystem;
using namespace murello;

namespace {

constexpr uint32_t kRate = 16000;
const fs::path kSource = fs::path(__FILE__).parent_path().parent_path();

fs::path site_packages() {
  for (const auto& entry : fs::directory_iterator(kSource / ".venv" / "lib")) {
    if (fs::is_directory(entry.path() / "site-packages")) return entry.path() / "site-packages";
  }
  return {};
}

fs::path ort_library() {
  for (const auto& entry : fs::directory_iterator(site_packages() / "onnxruntime" / "capi")) {
    if (entry.path().filename().string().starts_with("libonnxruntime.so.")) return entry.path();
  }
  return {};
}

std::string run_capture(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe)) text += buffer;
    pclose(pipe);
  }
  return text;
}

std::vector<float> read_f32(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

void write_f32(const fs::path& path, const std::vector<float>& samples) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(samples.data()),
             static_cast<std::streamsize>(samples.size() * sizeof(float)));
}

// Sentences spoken by espeak-ng with pauses, repeated to `seconds`.
std::vector<float> speech_like(const fs::path& dir, double seconds) {
  const fs::path wav = dir / "speech.wav";
  const fs::path raw = dir / "speech.f32";
  const std::string text =
      "Voice activity detection decides which parts of a recording hold speech. "
      "The quick brown fox jumps over the lazy dog. Please call me back after lunch.";
  std::vector<float> piece;
  if (std::system(("espeak-ng -w " + wav.string() + " '" + text + "' 2>/dev/null").c_str()) == 0 &&
      std::system(("sox " + wav.string() + " -r 16000 -c 1 -t f32 " + raw.string()).c_str()) == 0) {
    piece = read_f32(raw);
  }
  if (piece.empty()) {  // syllable-rate modulated noise
    piece.resize(8 * kRate);
    uint32_t seed = 1;
    for (size_t i = 0; i < piece.size(); ++i) {
      seed = seed * 1664525u + 1013904223u;
      const double envelope = std::max(0.0, std::sin(2 * M_PI * 4.0 * i / kRate));
      piece[i] = static_cast<float>(0.3 * envelope * ((seed >> 8) / 16777216.0 - 0.5));
    }
  }
  piece.insert(piece.end(), kRate / 2, 0.0f);
  std::vector<float> signal;
  const auto total = static_cast<size_t>(seconds * kRate);
  while (signal.size() < total) signal.insert(signal.end(), piece.begin(), piece.end());
  signal.resize(total);
  return signal;
}

// `prepare` (model loading) is left out of the time, as the peer's session creation is.
template <class Prepare, class Fn>
double best_of_three(Prepare prepare, Fn run) {
  double best = 1e300;
  for (int i = 0; i < 3; ++i) {
    auto prepared = prepare();
    const auto start = std::chrono::steady_clock::now();
    run(prepared);
    best = std::min(
        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

void bench_analysis(const fs::path& dir, const std::vector<float>& signal, const fs::path& raw,
                    const fs::path& model, const char* title) {
  DetectorConfig config;
  config.kind = DetectorKind::Model;
  config.model_path = model;
  config.delivered_rate_hz = kRate;
  std::vector<float> ours;
  auto create = [&] {
    auto analyzer = Analyzer::create(config);
    if (!analyzer) {
      std::fprintf(stderr, "%s\n", analyzer.error().message().c_str());
      std::exit(1);
    }
    return std::move(analyzer).value();
  };
  const double cpp_s = best_of_three(create, [&](Analyzer& analyzer) {
    for (size_t at = 0; at < signal.size(); at += 1600) {
      const size_t n = std::min<size_t>(1600, signal.size() - at);
      if (!analyzer.add(std::span<const float>(signal).subspan(at, n), 1)) std::exit(1);
    }
    auto analysis = analyzer.finish();
    ours.clear();
    for (const AnalysisWindow& w : analysis->windows) ours.push_back(w.probability);
  });
  const fs::path probs = dir / "peer_probs.f32";
  const std::string peer = run_capture((kSource / ".venv/bin/python").string() + " " +
                                       (kSource / "bench/vad_peer.py").string() + " vad " +
                                       raw.string() + " " + model.string() + " " + probs.string());
  const double python_s = std::atof(peer.c_str());
  const std::vector<float> theirs = read_f32(probs);
  float max_diff = theirs.size() == ours.size() ? 0.0f : INFINITY;
  for (size_t i = 0; i < std::min(ours.size(), theirs.size()); ++i) {
    max_diff = std::max(max_diff, std::fabs(ours[i] - theirs[i]));
  }
  const double audio_s = static_cast<double>(signal.size()) / kRate;
  std::printf("analysis with %s: %.0f s of 16 kHz audio, %zu windows of 576 samples\n", title,
              audio_s, ours.size());
  std::printf("  murello Analyzer     %8.3f s  %9.0f windows/s  %6.0fx real time\n", cpp_s,
              ours.size() / cpp_s, audio_s / cpp_s);
  std::printf("  python loop (peer)   %8.3f s  %9.0f windows/s  %6.0fx real time\n", python_s,
              theirs.size() / python_s, audio_s / python_s);
  std::printf("  speed-up over peer   %8.2fx   (max |p_ours - p_peer| = %.2g)\n", python_s / cpp_s,
              max_diff);
}

void bench_denoiser(const fs::path& dir, const std::vector<float>& signal, const fs::path& model) {
  const std::vector<float> minute(signal.begin(),
                                  signal.begin() + std::min<size_t>(signal.size(), 60 * kRate));
  std::vector<float> out;
  out.reserve(minute.size() + 1024);
  auto create = [&] {
    auto stage = DenoiserStage::create(model, std::nullopt, 1);
    if (!stage) std::exit(1);
    return std::move(stage).value();
  };
  const double cpp_s = best_of_three(create, [&](std::unique_ptr<DenoiserStage>& stage) {
    out.clear();
    for (size_t at = 0; at < minute.size(); at += 1600) {
      const size_t n = std::min<size_t>(1600, minute.size() - at);
      if (!stage->process(std::span<const float>(minute).subspan(at, n), 1, out)) std::exit(1);
    }
    if (!stage->flush(out)) std::exit(1);
  });
  const fs::path raw = dir / "minute.f32";
  write_f32(raw, minute);
  const double python_s = std::atof(run_capture((kSource / ".venv/bin/python").string() + " " +
                                                (kSource / "bench/vad_peer.py").string() +
                                                " denoise " + raw.string() + " " + model.string())
                                        .c_str());
  const double audio_s = static_cast<double>(minute.size()) / kRate;
  std::printf("denoiser: %.0f s at 16 kHz, synthetic model of ~170k multiply-adds per hop\n",
              audio_s);
  std::printf("  murello DenoiserStage %7.3f s  real-time factor %.4f\n", cpp_s, cpp_s / audio_s);
  std::printf("  python loop (peer)    %7.3f s  real-time factor %.4f\n", python_s,
              python_s / audio_s);
  std::printf("  speed-up over peer    %7.2fx\n", python_s / cpp_s);
}

}  // namespace

int main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
  const fs::path silero = site_packages() / "silero_vad" / "data" / "silero_vad.onnx";
  const fs::path library = ort_library();
  if (library.empty() || !fs::exists(silero)) {
    std::printf("bench_vad: the project's .venv needs onnxruntime and silero-vad\n");
    return 1;
  }
  if (auto runtime = ort_init(library); !runtime) {
    std::printf("%s\n", runtime.error().message().c_str());
    return 1;
  }
  char pattern[] = "/tmp/murello-bench-XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  const std::vector<float> signal = speech_like(dir, minutes * 60);
  const fs::path raw = dir / "signal.f32";
  write_f32(raw, signal);
  bench_analysis(dir, signal, raw, silero, "the voice-activity model");
  const fs::path models = dir / "models";
  if (std::system(((kSource / ".venv/bin/python").string() + " " +
                   (kSource / "tests/models/build_models.py").string() + " " + models.string())
                      .c_str()) == 0) {
    // A model that only averages its input: what remains is each loop's own overhead.
    bench_analysis(dir, signal, raw, models / "vad_mean.onnx", "a trivial model (overhead only)");
    bench_denoiser(dir, signal, models / "denoiser_realistic.onnx");
  } else {
    std::printf("test models could not be built: overhead and denoiser runs skipped\n");
  }
  fs::remove_all(dir);
  return 0;
}
