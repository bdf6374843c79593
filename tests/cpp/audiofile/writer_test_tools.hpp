// Helpers for the writer and encoder tests: a scratch directory, file I/O, running the
// reference tools (flac, sox, python with soundfile) and reading their output.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace murello::testing {

// A fresh directory under the system's temporary directory, removed with its contents.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "murello-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Runs a shell command; returns its exit status and, in `output`, what it printed.
inline int run(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  while (size_t got = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, got);
  int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool have_tool(const std::string& name) {
  return run("command -v " + name + " >/dev/null") == 0;
}

// The project's virtual environment, which has soundfile. Located from the source tree,
// not from __FILE__, which the build may give as a path relative to the build directory.
inline std::string project_python() {
  return (std::filesystem::path(MURELLO_SOURCE_DIR) / ".venv" / "bin" / "python").string();
}

inline std::vector<float> floats_from_bytes(const std::vector<uint8_t>& bytes) {
  std::vector<float> out(bytes.size() / sizeof(float));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
  return out;
}

}  // namespace murello::testing

namespace murello::testing {

// Writes beside each path `<path>.sf.f32`: what soundfile (libsndfile) reads, as float32.
inline bool read_with_soundfile(const std::vector<std::string>& paths, std::string* log) {
  std::string command = project_python() +
                        " -c \"import sys, soundfile as sf\n"
                        "for p in sys.argv[1:]:\n"
                        "    d, _ = sf.read(p, dtype='float32', always_2d=True)\n"
                        "    d.astype('<f4').tofile(p + '.sf.f32')\"";
  for (const auto& p : paths) command += " '" + p + "'";
  return run(command, log) == 0;
}

// Writes `<path>.sox.f32`: what sox reads, as float32.
inline bool read_with_sox(const std::string& path, std::string* log) {
  return run("sox '" + path + "' -t raw -e floating-point -b 32 -L '" + path + ".sox.f32'", log) ==
         0;
}

// Tolerance of the reference readers: they pass 32-bit samples through other widths.
inline void expect_close(const std::vector<float>& got, const std::vector<float>& want,
                         const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  size_t mismatches = 0;
  for (size_t i = 0; i < got.size(); ++i)
    if (!(std::abs(got[i] - want[i]) <= 1e-7f) && mismatches++ < 3)
      ADD_FAILURE() << what << " sample " << i << ": " << got[i] << " vs " << want[i];
}

}  // namespace murello::testing
