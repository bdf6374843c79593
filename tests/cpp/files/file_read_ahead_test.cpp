// Reads that no score needs run the chain ahead in long steps, yet hand out the chunks
// the short steps make: the same sizes, and samples within the resampler's rounding bound.
#include <string>

#include "files/file.hpp"
#include "files/file_fixtures.hpp"
#include "support/ulp.hpp"

namespace murello {
namespace {

using testing::drain;
using testing::tone;

struct AheadCase {
  const char* name;
  uint32_t input_rate_hz;
  uint32_t output_rate_hz;
  uint16_t input_channels;
  uint16_t channels;
  size_t frames;
  bool highpass;
};

void PrintTo(const AheadCase& c, std::ostream* os) { *os << c.name; }

class ReadAhead : public ::testing::TestWithParam<AheadCase> {};

TEST_P(ReadAhead, HandsOutTheChunksOfTheShortSteps) {
  const AheadCase& c = GetParam();
  const std::vector<float> input = tone(c.frames, c.input_channels, c.input_rate_hz);
  SourceConfig config;
  config.sample_rate = c.output_rate_hz;
  config.channels = c.channels;
  if (c.highpass) config.highpass = 80;
  // The energy score needs every short step, so its source takes them: the reference.
  SourceConfig scored = config;
  scored.vad = true;
  scored.vad_mode = "energy";
  auto ahead = FileSource::buffer(input, c.input_rate_hz, c.input_channels, config);
  auto reference = FileSource::buffer(input, c.input_rate_hz, c.input_channels, scored);
  ASSERT_TRUE(ahead && reference);
  const auto got = drain(**ahead);
  const auto expected = drain(**reference);
  ASSERT_EQ(got.chunk_samples, expected.chunk_samples);
  EXPECT_EQ(got.channels, expected.channels);
  for (size_t i = 0; i < got.samples.size(); ++i) {
    ASSERT_TRUE(testing::within_ulps(got.samples[i], expected.samples[i], 2, 2e-9))
        << "sample " << i << ": " << got.samples[i] << " vs " << expected.samples[i];
  }
  EXPECT_EQ((*ahead)->stage(), FileStage::Finished);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ReadAhead,
    ::testing::Values(
        AheadCase{"down_by_three_stereo_to_mono", 48000, 16000, 2, 1, 200'000, false},
        AheadCase{"up_by_three", 16000, 48000, 1, 1, 70'000, false},
        AheadCase{"rational_441_160", 44100, 16000, 1, 1, 150'000, false},
        AheadCase{"interpolated_with_highpass", 48000, 44101, 2, 2, 140'000, true},
        AheadCase{"conditioned_at_its_own_rate", 22050, 22050, 2, 2, 9'000, true},
        AheadCase{"shorter_than_a_step", 48000, 8000, 1, 1, 1'000, false},
        AheadCase{"decimated_by_384", 384000, 1000, 1, 1, 4'000, false}),
    [](const auto& info) { return std::string(info.param.name); });

// After a few reads, read_all() goes on from where the reads left off.
TEST(ReadAhead, ReadAllTakesOverAfterReads) {
  const std::vector<float> input = tone(300'000, 1, 48000);
  SourceConfig config;
  auto whole = FileSource::buffer(input, 48000, 1, config);
  auto split = FileSource::buffer(input, 48000, 1, config);
  ASSERT_TRUE(whole && split);
  auto all = (*whole)->read_all();
  ASSERT_TRUE(all);
  std::vector<float> joined;
  for (int i = 0; i < 3; ++i) {
    auto chunk = (*split)->read();
    ASSERT_TRUE(chunk && *chunk);
    joined.insert(joined.end(), (*chunk)->samples.begin(), (*chunk)->samples.end());
  }
  auto rest = (*split)->read_all();
  ASSERT_TRUE(rest);
  joined.insert(joined.end(), rest->samples.begin(), rest->samples.end());
  EXPECT_EQ(joined, all->samples);
}

}  // namespace
}  // namespace murello
