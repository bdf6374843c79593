// What the test microphone "hears": a pure function of the frame index, so that a client
// can check every sample it receives.
//
// - ramp: sample (frame, channel) is (frame * channels + channel) modulo 2^24, exact in
//   float32, so gaps, repeats and channel swaps show directly;
// - sine: amplitude * sin(2 pi frequency frame / rate) on every channel;
// - file: raw interleaved float32 at the PCM's channel count, then silence;
// - silence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testcard {

struct SignalSettings {
  std::string kind = "silence";  // ramp, sine, file or silence
  double frequency_hz = 1000.0;
  double amplitude = 0.5;
  std::string file;
};

class Signal {
 public:
  // Loads the file of a file signal; false (with errno set) when it cannot be read.
  bool prepare(const SignalSettings& settings, uint32_t rate_hz, uint32_t channels);
  float sample(uint64_t frame, uint32_t channel) const;

 private:
  enum class Kind { Silence, Ramp, Sine, File };
  Kind kind_ = Kind::Silence;
  double frequency_hz_ = 0;
  double amplitude_ = 0;
  uint32_t rate_hz_ = 1;
  uint32_t channels_ = 1;
  std::vector<float> file_samples_;
};

}  // namespace testcard
