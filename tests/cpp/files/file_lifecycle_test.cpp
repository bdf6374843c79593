// The file source's lifecycle: what each operation answers after each history.
#include <functional>
#include <string>
#include <vector>

#include "files/file.hpp"
#include "files/file_fixtures.hpp"
#include "support/model_fixtures.hpp"

namespace murello {
namespace {

using testing::outcome;
using testing::TempDir;

SourceConfig analysable() {
  SourceConfig config;
  config.vad = true;
  config.model_path = *testing::test_models() / "vad_mean.onnx";
  return config;
}

std::string read_outcome(FileSource& source) {
  auto chunk = source.read();
  if (!chunk) return std::string(chunk.error().name());
  return chunk->has_value() ? "chunk" : "nothing";
}

struct History {
  const char* name;
  std::function<void(FileSource&, const std::filesystem::path&)> run;
  FileStage stage;
  // What read, check_not_engaged, analyze and save answer afterwards.
  std::vector<std::string> answers;
};

void PrintTo(const History& h, std::ostream* os) { *os << h.name; }

void read_to_end(FileSource& source) {
  while (true) {
    auto chunk = source.read();
    if (!chunk || !chunk->has_value()) return;
  }
}

const History kHistories[] = {
    {"fresh", [](FileSource&, const auto&) {}, FileStage::Fresh,
     {"chunk", "ok", "ok", "ok"}},
    {"one read", [](FileSource& s, const auto&) { (void)s.read(); }, FileStage::Reading,
     {"chunk", "FileEngaged", "FileEngaged", "FileEngaged"}},
    {"read to the end", [](FileSource& s, const auto&) { read_to_end(s); }, FileStage::Finished,
     {"nothing", "FileEngaged", "FileEngaged", "FileEngaged"}},
    {"closed", [](FileSource& s, const auto&) { s.close(); }, FileStage::Closed,
     {"nothing", "ok", "FileConsumed", "FileConsumed"}},
    {"read, closed",
     [](FileSource& s, const auto&) {
       (void)s.read();
       s.close();
       s.close();
     },
     FileStage::Finished, {"nothing", "FileEngaged", "FileEngaged", "FileEngaged"}},
    {"analysed", [](FileSource& s, const auto&) { ASSERT_TRUE(s.analyze()); }, FileStage::Consumed,
     {"FileConsumed", "ok", "FileConsumed", "FileConsumed"}},
    {"saved",
     [](FileSource& s, const auto& dir) { (void)s.save(dir / "a.wav", Container::Wav, 5); },
     FileStage::Consumed, {"FileConsumed", "ok", "FileConsumed", "FileConsumed"}},
    {"save failed to write",
     [](FileSource& s, const auto& dir) { (void)s.save(dir / "no" / "a.wav", Container::Wav, 5); },
     FileStage::Consumed, {"FileConsumed", "ok", "FileConsumed", "FileConsumed"}},
    {"save refused",
     [](FileSource& s, const auto& dir) { (void)s.save(dir / "a.flac", Container::Flac, 9); },
     FileStage::Fresh, {"chunk", "ok", "ok", "ok"}},
    {"saved, closed",
     [](FileSource& s, const auto& dir) {
       (void)s.save(dir / "a.wav", Container::Wav, 5);
       s.close();
     },
     FileStage::Consumed, {"FileConsumed", "ok", "FileConsumed", "FileConsumed"}},
};

class Lifecycle : public ::testing::TestWithParam<History> {};

TEST_P(Lifecycle, EachOperationAnswersForTheStageTheHistoryLeft) {
  MURELLO_REQUIRE_TEST_MODELS();
  const History& history = GetParam();
  TempDir dir;
  std::vector<std::string> answers;
  // Each operation runs on its own source with the same history.
  for (int operation = 0; operation < 4; ++operation) {
    auto built = FileSource::buffer(std::vector<float>(8000, 0.1f), 16000, 1, analysable());
    ASSERT_TRUE(built);
    FileSource& source = **built;
    history.run(source, dir.path());
    ASSERT_EQ(source.stage(), history.stage);
    switch (operation) {
      case 0: answers.push_back(read_outcome(source)); break;
      case 1: answers.push_back(outcome(source.check_not_engaged())); break;
      case 2: answers.push_back(outcome(source.analyze())); break;
      case 3:
        answers.push_back(outcome(source.save(dir.path() / "b.wav", Container::Wav, 5)));
        break;
    }
  }
  EXPECT_EQ(answers, history.answers);
}

INSTANTIATE_TEST_SUITE_P(Histories, Lifecycle, ::testing::ValuesIn(kHistories));

TEST(Lifecycle, RefusalsKeepTheirOrder) {
  SourceConfig energy;
  energy.vad = true;
  energy.vad_mode = "energy";
  auto source = FileSource::buffer(std::vector<float>(100), 16000, 1, energy);
  ASSERT_TRUE(source);
  // Fresh: the detector, then the level, then the encoder refuse, and nothing is taken.
  EXPECT_EQ(outcome((*source)->analyze()), "VadNotConfigured");
  EXPECT_EQ(outcome((*source)->save("x.flac", Container::Flac, 9)), "FlacCompressionOutOfRange");
  EXPECT_EQ((*source)->stage(), FileStage::Fresh);
  // Closed: the source is gone, so the missing detector is no longer the answer.
  (*source)->close();
  EXPECT_EQ(outcome((*source)->analyze()), "FileConsumed");
  // An engaged source answers FileEngaged before it looks at the level.
  auto read = FileSource::buffer(std::vector<float>(100), 16000, 1, energy);
  ASSERT_TRUE(read);
  (void)(*read)->read();
  EXPECT_EQ(outcome((*read)->save("x.flac", Container::Flac, 9)), "FileEngaged");
}

}  // namespace
}  // namespace murello
