// What the model tests need from outside the test program: the ONNX Runtime library and
// the voice-activity model from the project's venv, the models built by
// tests/models/build_models.py, and speech synthesised by espeak-ng.
//
// The runtime is found through MURELLO_TEST_ORT_LIBRARY when set, else inside the venv's
// onnxruntime package. Tests that need a piece that is absent skip with a message (and
// fail under CI=true, see prerequisite.hpp).
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "onnx/runtime.hpp"
#include "support/prerequisite.hpp"

namespace murello::testing {

std::filesystem::path source_dir();
std::optional<std::filesystem::path> ort_library();
std::optional<std::filesystem::path> silero_model();
// Directory holding the built test models (built once per process); nullopt when the
// venv's python or its onnx package is missing.
std::optional<std::filesystem::path> test_models();
// 16 kHz mono speech from espeak-ng, or empty when espeak-ng is missing.
std::vector<float> spoken_16k(const std::string& text);
// The runtime loaded from the venv library (loading it on first use).
const OrtRuntime* loaded_runtime();

// A directory removed with everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace murello::testing

#define MURELLO_REQUIRE_RUNTIME()                                                    \
  do {                                                                               \
    if (!::murello::testing::loaded_runtime())                                       \
      MURELLO_MISSING_PREREQUISITE() << "ONNX Runtime not found: install onnxruntime " \
                                        "into the project's .venv or set "           \
                                        "MURELLO_TEST_ORT_LIBRARY";                  \
  } while (0)

#define MURELLO_REQUIRE_TEST_MODELS()                                         \
  do {                                                                        \
    MURELLO_REQUIRE_RUNTIME();                                                \
    if (!::murello::testing::test_models())                                   \
      MURELLO_MISSING_PREREQUISITE() << "test models not built: the project's " \
                                        ".venv needs the onnx package";       \
  } while (0)

#define MURELLO_REQUIRE_SILERO()                                                  \
  do {                                                                            \
    MURELLO_REQUIRE_RUNTIME();                                                    \
    if (!::murello::testing::silero_model())                                      \
      MURELLO_MISSING_PREREQUISITE() << "silero_vad.onnx not found: install "     \
                                        "silero-vad into the project's .venv";    \
  } while (0)
