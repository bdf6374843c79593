#include "support/model_fixtures.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace murello::testing {
namespace {

namespace fs = std::filesystem;

std::optional<fs::path> first_match(const fs::path& dir, const std::string& prefix) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) return entry.path();
  }
  return std::nullopt;
}

std::optional<fs::path> site_packages() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(source_dir() / ".venv" / "lib", ec)) {
    fs::path candidate = entry.path() / "site-packages";
    if (fs::is_directory(candidate, ec)) return candidate;
  }
  return std::nullopt;
}

// Runs argv with stdout and stderr sent to /dev/null; true when it exits with 0.
bool run_quietly(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

fs::path source_dir() { return MURELLO_SOURCE_DIR; }

std::optional<fs::path> ort_library() {
  if (const char* given = std::getenv("MURELLO_TEST_ORT_LIBRARY"); given && *given) {
    return fs::path(given);
  }
  auto packages = site_packages();
  if (!packages) return std::nullopt;
  return first_match(*packages / "onnxruntime" / "capi", "libonnxruntime.so.");
}

std::optional<fs::path> silero_model() {
  auto packages = site_packages();
  if (!packages) return std::nullopt;
  fs::path model = *packages / "silero_vad" / "data" / "silero_vad.onnx";
  std::error_code ec;
  if (!fs::is_regular_file(model, ec)) return std::nullopt;
  return model;
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "murello-test-XXXXXX").string();
  path_ = mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

std::optional<fs::path> test_models() {
  static TempDir dir;
  static const bool built = run_quietly(
      {(source_dir() / ".venv" / "bin" / "python").string(),
       (source_dir() / "tests" / "models" / "build_models.py").string(), dir.path().string()});
  if (!built) return std::nullopt;
  return dir.path();
}

std::vector<float> spoken_16k(const std::string& text) {
  TempDir dir;
  const fs::path wav = dir.path() / "speech.wav";
  const fs::path raw = dir.path() / "speech.f32";
  if (!run_quietly({"espeak-ng", "-w", wav.string(), text}) ||
      !run_quietly({"sox", wav.string(), "-r", "16000", "-c", "1", "-t", "f32", raw.string()})) {
    return {};
  }
  std::ifstream in(raw, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

const OrtRuntime* loaded_runtime() {
  static const OrtRuntime* runtime = [] {
    auto library = ort_library();
    if (!library) return static_cast<const OrtRuntime*>(nullptr);
    auto loaded = ort_init(*library);
    return loaded ? *loaded : nullptr;
  }();
  return runtime;
}

}  // namespace murello::testing
