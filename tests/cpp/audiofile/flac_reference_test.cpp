// Cross-checks with the reference tool: signals and speech encoded by `flac` at every
// level, over block sizes, bit depths, channel counts and rates, must decode to exactly
// what `flac -d` gives back. Skipped where the tool is not installed.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "audiofile/flac/decoder.hpp"
#include "audiofile/flac_reference_tool.hpp"
#include "support/prerequisite.hpp"
#include "support/prerequisite.hpp"

namespace murello {
namespace {

using namespace flac_testing;

enum class Signal { Noise, Tones, Chirp, Silence, Square, QuietMix, Shifted };

const char* signal_name(Signal s) {
  switch (s) {
    case Signal::Noise: return "noise";
    case Signal::Tones: return "tones";
    case Signal::Chirp: return "chirp";
    case Signal::Silence: return "silence";
    case Signal::Square: return "square";
    case Signal::QuietMix: return "quiet-mix";
    case Signal::Shifted: return "shifted";
  }
  return "";
}

// Each channel gets its own phase so that stereo decorrelation has work to do.
Pcm make_signal(Signal signal, unsigned bits, unsigned channels, uint32_t rate_hz, size_t frames) {
  Pcm pcm{{}, channels, bits, rate_hz};
  const double full = std::ldexp(1.0, int(bits) - 1) - 1;
  std::mt19937_64 rng(bits * 131 + channels);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (size_t i = 0; i < frames; ++i) {
    const double t = double(i) / rate_hz;
    for (unsigned c = 0; c < channels; ++c) {
      double v = 0;
      switch (signal) {
        case Signal::Noise: v = uniform(rng); break;
        case Signal::Tones: v = 0.5 * std::sin(2 * M_PI * 440 * t + c) + 0.3 * std::sin(2 * M_PI * 1234 * t); break;
        case Signal::Chirp: v = 0.9 * std::sin(2 * M_PI * (100 + 4000 * t) * t + 0.5 * c); break;
        case Signal::Silence: v = 0; break;
        case Signal::Square: v = std::fmod(t * (220 + 30 * c), 1.0) < 0.5 ? 1.0 : -1.0; break;
        case Signal::QuietMix: v = 0.05 * std::sin(2 * M_PI * 330 * t + c) + 0.002 * uniform(rng); break;
        case Signal::Shifted: v = 0.7 * std::sin(2 * M_PI * 523 * t + c); break;
      }
      int64_t s = std::llround(v * full);
      if (signal == Signal::Square) s = v > 0 ? int64_t(full) : -int64_t(full) - 1;
      if (signal == Signal::Shifted) s &= ~int64_t(0xF);  // four wasted bits
      pcm.samples.push_back(s);
    }
  }
  return pcm;
}

// Encodes `wav` with `flac_options`, decodes it with both decoders and compares; when
// the source samples are known, the reference must give them back too.
void expect_same_as_reference(const ScratchDir& dir, const std::string& wav,
                              const std::string& flac_options, const Pcm* source = nullptr) {
  const std::string flac = dir.file("coded.flac"), back = dir.file("back.wav");
  ASSERT_TRUE(run("flac -s -f --channel-map=none " + flac_options + " " + quoted(wav) + " -o " +
                  quoted(flac)))
      << flac_options;
  ASSERT_TRUE(run("flac -s -f -d " + quoted(flac) + " -o " + quoted(back)));
  Pcm reference;
  ASSERT_TRUE(read_wav(back, reference));
  if (source) {
    ASSERT_EQ(reference.samples, source->samples) << "the WAV round trip is lossy";
  }
  auto decoded = decode_flac(read_bytes(flac));
  ASSERT_TRUE(decoded) << flac_options << ": " << decoded.error().display();
  EXPECT_EQ(decoded->channels, reference.channels);
  EXPECT_EQ(decoded->sample_rate_hz, reference.rate_hz);
  ASSERT_EQ(decoded->samples.size(), reference.samples.size());
  const float scale = std::ldexp(1.0f, 1 - int(reference.bits));
  size_t mismatches = 0;
  for (size_t i = 0; i < reference.samples.size(); ++i)
    if (decoded->samples[i] != float(reference.samples[i]) * scale && mismatches++ < 3)
      ADD_FAILURE() << flac_options << ": sample " << i << " is " << decoded->samples[i]
                    << ", reference " << reference.samples[i];
  EXPECT_EQ(mismatches, 0u);
}

// Built by append: g++ 12 warns falsely (-Wrestrict) on "-" + std::to_string(n).
std::string level_option(int level) {
  std::string option = "-";
  option += std::to_string(level);
  return option;
}

struct Case {
  Signal signal;
  unsigned bits;
  unsigned channels;
  uint32_t rate_hz;
  int level;
  std::string options;  // block size and the like
};

std::string case_name(const Case& c) {
  return std::string(signal_name(c.signal)) + " " + std::to_string(c.bits) + "-bit " +
         std::to_string(c.channels) + "ch " + std::to_string(c.rate_hz) + " Hz -" +
         std::to_string(c.level) + " " + c.options;
}

class FlacReference : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!reference_tool_present())
      MURELLO_MISSING_PREREQUISITE() << "the flac tool is not installed";
  }
  ScratchDir dir_;
};

TEST_F(FlacReference, SyntheticSignalsAcrossLevelsDepthsChannelsAndRates) {
  const Case cases[] = {
      {Signal::Noise, 16, 2, 44100, 5, ""},
      {Signal::Tones, 8, 1, 8000, 0, ""},
      {Signal::Chirp, 12, 1, 11025, 1, "-b 192"},
      {Signal::Square, 16, 2, 48000, 2, "-b 576"},
      {Signal::Silence, 24, 2, 96000, 3, ""},
      {Signal::Tones, 20, 3, 37800, 4, "-b 1152"},
      {Signal::Noise, 24, 4, 44100, 6, "-b 4096"},
      {Signal::Chirp, 32, 2, 192000, 7, ""},
      {Signal::Tones, 16, 5, 22050, 8, "-b 16384 --lax"},
      {Signal::Noise, 8, 6, 16000, 8, "-b 576"},
      {Signal::Square, 24, 7, 88200, 5, ""},
      {Signal::QuietMix, 16, 8, 48000, 3, "-b 4096"},
      {Signal::QuietMix, 32, 1, 44100, 8, "-b 16384 --lax"},
      {Signal::Shifted, 24, 2, 44100, 5, ""},
      {Signal::Chirp, 16, 2, 96001, 8, "--lax"},
      {Signal::QuietMix, 20, 2, 44101, 7, "-b 1152"},
      {Signal::Square, 12, 2, 32000, 1, "-b 4096"},
      // Predictor orders up to 32 and the exhaustive searches.
      {Signal::QuietMix, 24, 2, 48000, 8, "--lax -l 32 -b 4096"},
      {Signal::Tones, 16, 1, 44100, 8, "--lax -l 20 -p -e"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(case_name(c));
    const size_t frames = std::min<size_t>(c.rate_hz / 2, 24000);
    const std::string wav = dir_.file("in.wav");
    const Pcm source = make_signal(c.signal, c.bits, c.channels, c.rate_hz, frames);
    write_wav(wav, source);
    expect_same_as_reference(dir_, wav, level_option(c.level) + " " + c.options, &source);
  }
}

TEST_F(FlacReference, RealSpeechAtEveryLevel) {
  std::vector<std::string> sources;
  const std::string alsa = "/usr/share/sounds/alsa/Front_Center.wav";
  if (std::filesystem::exists(alsa)) sources.push_back(alsa);
  const std::string spoken = dir_.file("spoken.wav");
  if (run("espeak-ng -w " + quoted(spoken) + " 'The quick brown fox jumps over the lazy dog.'"))
    sources.push_back(spoken);
  if (sources.empty()) MURELLO_MISSING_PREREQUISITE() << "no speech source available";
  for (int level = 0; level <= 8; ++level) {
    const std::string& wav = sources[size_t(level) % sources.size()];
    SCOPED_TRACE(wav + " level " + std::to_string(level));
    expect_same_as_reference(dir_, wav, level_option(level));
  }
  expect_same_as_reference(dir_, sources.back(), "-8 -b 192");
}

}  // namespace
}  // namespace murello
