#include "onnx/runtime.hpp"

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "vad/score.hpp"
#include "support/model_fixtures.hpp"

extern char** environ;

namespace murello {
namespace {

namespace fs = std::filesystem;
using testing::ort_library;
using testing::TempDir;

// Loading can only be watched in a process that never loaded the runtime, so each
// loading scenario runs in a fresh copy of this program. The copy sees the scenario's
// name in MURELLO_ORT_SCENARIO, runs it before GoogleTest starts, prints one line per
// `ort_init` attempt and exits.

std::string describe(const Result<const OrtRuntime*, CoreError>& result) {
  if (!result) {
    std::string line(result.error().name());
    for (const std::string& field : result.error().fields()) line += "|" + field;
    return line;
  }
  const OrtRuntime& runtime = **result;
  return "ok|" + runtime.library.string() + "|telemetry=" + (runtime.telemetry ? "1" : "0");
}

std::string scenario_output(std::string_view name, const char* argument) {
  const std::optional<fs::path> arg =
      argument && *argument ? std::optional<fs::path>(argument) : std::nullopt;
  std::ostringstream out;
  if (name == "init") {
    out << describe(ort_init(arg)) << "\n";
  } else if (name == "init_then_library") {
    // A failed attempt must leave the runtime unloaded so that this one loads it.
    out << describe(ort_init(arg)) << "\n";
    out << describe(ort_init(*ort_library())) << "\n";
  } else if (name == "concurrent") {
    const OrtRuntime* seen[4] = {};
    std::vector<std::thread> threads;
    for (auto& slot : seen) {
      threads.emplace_back([&slot, &arg] {
        auto result = ort_init(arg);
        slot = result ? *result : nullptr;
      });
    }
    for (auto& thread : threads) thread.join();
    bool same = seen[0] != nullptr;
    for (const OrtRuntime* runtime : seen) same = same && runtime == seen[0];
    out << (same ? "same" : "different") << "\n";
  }
  return out.str();
}

const int kScenarioHook = [] {
  const char* name = std::getenv("MURELLO_ORT_SCENARIO");
  if (!name) return 0;
  const std::string text = scenario_output(name, std::getenv("MURELLO_ORT_SCENARIO_ARG"));
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  _exit(0);
}();

// Runs `scenario` in a fresh copy of this program. The child's environment is ours
// without the loader path and the runtime's variables, plus `set`.
std::vector<std::string> run_scenario(const std::string& scenario, const char* argument,
                                      const std::map<std::string, std::string>& set = {}) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    std::string_view text(*entry);
    std::string_view key = text.substr(0, text.find('='));
    if (key == "LD_LIBRARY_PATH" || key == "ORT_DYLIB_PATH" || key == "MURELLO_ORT_TELEMETRY" ||
        key.starts_with("MURELLO_ORT_SCENARIO")) {
      continue;
    }
    env.emplace_back(text);
  }
  for (const auto& [key, value] : set) env.push_back(key + "=" + value);
  env.push_back("MURELLO_ORT_SCENARIO=" + scenario);
  env.push_back(std::string("MURELLO_ORT_SCENARIO_ARG=") + (argument ? argument : ""));
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {"pipe failed"};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  char program[] = "/proc/self/exe";
  char* argv[] = {program, nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(pipe_fds[0]);
  if (spawned != 0) return {"spawn failed"};
  int status = 0;
  waitpid(pid, &status, 0);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class OrtLoading : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = ort_library();
    if (!library_)
      MURELLO_MISSING_PREREQUISITE() << "ONNX Runtime not found in the project's .venv";
  }
  std::optional<fs::path> library_;
  TempDir dir_;
};

TEST_F(OrtLoading, DirectoryAsLibraryPathIsRefusedBeforeLoadingAndALaterCallRetries) {
  const std::string dir = dir_.path().string();
  auto lines = run_scenario("init_then_library", dir.c_str());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "OrtPathInvalid|" + dir + "|path does not exist or is not a regular file");
  EXPECT_EQ(lines[1], "ok|" + library_->string() + "|telemetry=0");
}

TEST_F(OrtLoading, GivenPathThatIsNotALibraryReportsTheLoaderMessage) {
  const fs::path text_file = dir_.path() / "libonnxruntime.so";
  std::ofstream(text_file) << "not an ELF file\n";
  auto lines = run_scenario("init", text_file.c_str());
  ASSERT_EQ(lines.size(), 1u);
  // The cause is the loader's own text, which names the file.
  EXPECT_TRUE(
      lines[0].starts_with("OrtLoadFailed|" + text_file.string() + "|" + text_file.string() + ": "))
      << lines[0];
}

TEST_F(OrtLoading, LibraryWithoutTheEntrySymbolIsALoadFailureNamingIt) {
  // Found through libc's own handle: under a sanitizer, &strlen would be the interceptor
  // in the test binary or the sanitizer's runtime.
  void* libc_handle = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(libc_handle, nullptr);
  void* symbol = dlsym(libc_handle, "gnu_get_libc_version");
  dlclose(libc_handle);
  Dl_info info{};
  ASSERT_NE(dladdr(symbol, &info), 0);
  const std::string libc = fs::canonical(info.dli_fname).string();
  for (const auto& lines : {run_scenario("init", libc.c_str()),
                            run_scenario("init", nullptr, {{"ORT_DYLIB_PATH", libc}})}) {
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("OrtLoadFailed|" + libc + "|")) << lines[0];
    EXPECT_NE(lines[0].find("OrtGetApiBase"), std::string::npos) << lines[0];
  }
}

TEST_F(OrtLoading, VariableNamingAMissingFileIsAnInvalidPath) {
  const std::string missing = (dir_.path() / "missing.so").string();
  auto lines = run_scenario("init", nullptr, {{"ORT_DYLIB_PATH", missing}});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "OrtPathInvalid|" + missing + "|ORT_DYLIB_PATH does not point to a regular file");
}

TEST_F(OrtLoading, VariableLoadsTheRuntimeAndTheArgumentTakesPrecedence) {
  auto from_variable = run_scenario("init", nullptr, {{"ORT_DYLIB_PATH", library_->string()}});
  ASSERT_EQ(from_variable.size(), 1u);
  EXPECT_EQ(from_variable[0], "ok|" + library_->string() + "|telemetry=0");

  const std::string dir = dir_.path().string();
  auto argument_first = run_scenario("init", dir.c_str(), {{"ORT_DYLIB_PATH", library_->string()}});
  ASSERT_EQ(argument_first.size(), 1u);
  EXPECT_TRUE(argument_first[0].starts_with("OrtPathInvalid|" + dir + "|")) << argument_first[0];
}

TEST_F(OrtLoading, EmptyVariableIsUnsetSoTheLoaderSearchFindsTheBareName) {
  const fs::path link_dir = dir_.path();
  fs::create_symlink(*library_, link_dir / "libonnxruntime.so");
  auto lines = run_scenario("init", nullptr,
                            {{"ORT_DYLIB_PATH", ""}, {"LD_LIBRARY_PATH", link_dir.string()}});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "ok|libonnxruntime.so|telemetry=0");
}

TEST_F(OrtLoading, NothingResolvableNamesTheBareLibrary) {
  // A system-wide runtime would make this scenario load; nothing to check then.
  if (void* system = dlopen("libonnxruntime.so", RTLD_LAZY)) {
    dlclose(system);
    GTEST_SKIP() << "a system-wide libonnxruntime.so is installed";
  }
  auto lines = run_scenario("init", nullptr, {{"ORT_DYLIB_PATH", ""}});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "OrtPathInvalid|libonnxruntime.so|no ONNX Runtime is resolvable: ORT_DYLIB_PATH is "
            "not set and the system loader cannot find the runtime library");
}

TEST_F(OrtLoading, TelemetryOnlyForExactlyOne) {
  const std::string library = library_->string();
  for (const auto& [value, expected] : std::vector<std::pair<std::string, char>>{
           {"1", '1'}, {"true", '0'}, {"01", '0'}, {"", '0'}}) {
    auto lines = run_scenario("init", library.c_str(), {{"MURELLO_ORT_TELEMETRY", value}});
    ASSERT_EQ(lines.size(), 1u) << value;
    EXPECT_EQ(lines[0], "ok|" + library + "|telemetry=" + expected) << value;
  }
  EXPECT_FALSE(ort_telemetry_requested(nullptr));
}

TEST_F(OrtLoading, ConcurrentFirstCallsShareOneRuntime) {
  auto lines = run_scenario("concurrent", library_->c_str());
  EXPECT_EQ(lines, std::vector<std::string>{"same"});
}

TEST(OrtRuntime, LaterCallsAndDetectorsIgnoreTheirPathAndUseTheLoadedRuntime) {
  MURELLO_REQUIRE_RUNTIME();
  const OrtRuntime* first = testing::loaded_runtime();
  EXPECT_EQ(first->init_pid, static_cast<uint32_t>(getpid()));
  EXPECT_FALSE(first->version.empty());
  auto again = ort_init(fs::path("/nonexistent/libonnxruntime.so"));
  ASSERT_TRUE(again) << again.error().message();
  EXPECT_EQ(*again, first);
  EXPECT_TRUE(ort_check_process());
  // A second detector naming another library uses the loaded runtime.
  MURELLO_REQUIRE_TEST_MODELS();
  auto detector = ModelDetector::create(*testing::test_models() / "vad_mean.onnx",
                                        fs::path("/nonexistent/libonnxruntime.so"), 16000, 0.5f);
  EXPECT_TRUE(detector) << detector.error().message();
}

TEST(OrtRuntime, ForkedChildFailsItsNextStepNamingBothProcesses) {
  MURELLO_REQUIRE_RUNTIME();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t parent = getpid();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    auto check = ort_check_process();
    auto init = ort_init(std::nullopt);
    std::string text = check ? std::string("ok") : check.error().message();
    text += "\n";
    text += init ? std::string("ok") : std::string(init.error().name());
    (void)!write(fds[1], text.data(), text.size());
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[2048];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(fds[0]);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(text, "ONNX Runtime was initialized in pid " + std::to_string(parent) +
                      " but is being used in pid " + std::to_string(child) +
                      ". Python's fork() start method is incompatible with ORT "
                      "initialization. Use multiprocessing.set_start_method('spawn') or "
                      "construct Microphone(vad='silero') inside each child process.\n"
                      "ForkAfterOrtInit");
}

}  // namespace
}  // namespace murello
