// Cross-checks against files written by the reference writers (sox, libsndfile through
// python soundfile). reference_files.py writes the files and what libsndfile reads back
// from each; every layout the readers accept must decode to exactly those values.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "audiofile/container.hpp"
#include "audiofile/mutation.hpp"
#include "support/prerequisite.hpp"

namespace murello::testing {
namespace {

namespace fs = std::filesystem;

struct ReferenceCase {
  std::string name;
  std::string extension;
  uint16_t channels = 0;
  uint32_t rate_hz = 0;
};

std::vector<uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The repository's virtual environment when there is one, else whatever python3 is on PATH.
std::string python_command() {
  if (const char* env = std::getenv("MURELLO_PYTHON")) return env;
  const fs::path venv = fs::path(MURELLO_SOURCE_DIR) / ".venv/bin/python";
  return fs::exists(venv) ? venv.string() : "python3";
}

class ReferenceFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/murello-decode-XXXXXX";
    if (!mkdtemp(pattern)) return;
    dir_ = pattern;
    const fs::path script = fs::path(MURELLO_SOURCE_DIR) / "tests/cpp/audiofile/reference_files.py";
    const std::string command =
        python_command() + " " + script.string() + " " + dir_.string() + " 2>&1";
    if (std::system(command.c_str()) != 0) return;
    std::ifstream manifest(dir_ / "manifest.txt");
    for (std::string line; std::getline(manifest, line);) {
      std::istringstream fields(line);
      ReferenceCase c;
      fields >> c.name >> c.extension >> c.channels >> c.rate_hz;
      cases_.push_back(c);
    }
  }

  static void TearDownTestSuite() {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  void SetUp() override {
    if (cases_.empty())
      MURELLO_MISSING_PREREQUISITE() << "reference writers (sox, python soundfile) unavailable";
  }

  static std::vector<uint8_t> file_of(const ReferenceCase& c) {
    return read_file(dir_ / (c.name + "." + c.extension));
  }

  static std::vector<float> readback_of(const ReferenceCase& c) {
    const std::vector<uint8_t> raw = read_file(dir_ / (c.name + ".f32"));
    std::vector<float> values(raw.size() / 4);
    std::memcpy(values.data(), raw.data(), values.size() * 4);
    return values;
  }

  static const ReferenceCase* find(const std::string& name) {
    for (const auto& c : cases_) {
      if (c.name == name) return &c;
    }
    return nullptr;
  }

  static inline fs::path dir_;
  static inline std::vector<ReferenceCase> cases_;
};

void expect_same_audio(const ReferenceCase& c, const std::vector<uint8_t>& file,
                       const std::vector<float>& expected) {
  auto decoded = decode_audio(file);
  ASSERT_TRUE(decoded.ok()) << decoded.error().display();
  EXPECT_EQ(decoded->channels, c.channels);
  EXPECT_EQ(decoded->sample_rate_hz, c.rate_hz);
  ASSERT_EQ(decoded->samples.size(), expected.size());
  size_t mismatches = 0;
  size_t first = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    // Bitwise, so that -0.0 and the exact rounding of float64 are checked too.
    if (std::memcmp(&decoded->samples[i], &expected[i], sizeof(float)) != 0) {
      if (mismatches++ == 0) first = i;
    }
  }
  EXPECT_EQ(mismatches, 0u) << "first at sample " << first << ": " << decoded->samples[first]
                            << " vs " << expected[first];
}

TEST_F(ReferenceFiles, EveryLayoutDecodesToWhatTheReferenceReads) {
  EXPECT_EQ(cases_.size(), 43u);
  for (const ReferenceCase& c : cases_) {
    SCOPED_TRACE(c.name);
    expect_same_audio(c, file_of(c), readback_of(c));
  }
}

TEST_F(ReferenceFiles, EveryPrefixFailsOrMatches) {
  for (const char* name : {"sf_wav_16", "sf_rf64_24", "sf_wavex_f32", "sox_wav_u8",
                           "sf_aifc_sowt16", "sox_aifc_16", "sf_aiff_s8"}) {
    SCOPED_TRACE(name);
    const ReferenceCase* c = find(name);
    ASSERT_NE(c, nullptr);
    expect_prefixes_fail_or_match(file_of(*c));
  }
}

TEST_F(ReferenceFiles, HeaderByteFlips) {
  uint32_t seed = 7;
  for (const ReferenceCase& c : cases_) {
    SCOPED_TRACE(c.name);
    expect_flips_decode_consistently(file_of(c), 160, 300, seed++);
  }
}

}  // namespace
}  // namespace murello::testing
