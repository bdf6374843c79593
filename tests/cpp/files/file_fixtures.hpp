// Helpers shared by the file-source tests: synthetic recordings, files written with the
// project's own writers, and draining a source.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "files/file.hpp"
#include "audiofile/wav/writer.hpp"

namespace murello::testing {

// Channel c of every frame holds (c + 1) / 10, so a channel's origin shows in its value.
inline std::vector<float> channel_levels(size_t frames, uint16_t channels) {
  std::vector<float> samples(frames * channels);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = (i % channels + 1) / 10.0f;
  return samples;
}

// A 440 hz tone at half scale on every channel, each channel a little quieter.
inline std::vector<float> tone(size_t frames, uint16_t channels, uint32_t rate_hz) {
  std::vector<float> samples(frames * channels);
  for (size_t f = 0; f < frames; ++f) {
    const float value = 0.5f * std::sin(2.0f * std::numbers::pi_v<float> * 440.0f * f / rate_hz);
    for (uint16_t c = 0; c < channels; ++c) samples[f * channels + c] = value / (1.0f + c);
  }
  return samples;
}

inline void write_bytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A float WAV file holding `samples` exactly.
inline void write_float_wav(const std::filesystem::path& path, const std::vector<float>& samples,
                            uint32_t rate_hz, uint16_t channels) {
  std::vector<uint8_t> bytes;
  auto written = write_wav({rate_hz, channels, WavSampleFormat::Float32, false, false}, samples,
                           bytes);
  ASSERT_TRUE(written);
  write_bytes(path, bytes);
}

// What a 16-bit container stores for a delivered sample, read back as float.
inline float stored16(float x) {
  const float scaled = std::trunc(std::clamp(x, -1.0f, 1.0f) * 32768.0f);
  return std::clamp(scaled, -32768.0f, 32767.0f) / 32768.0f;
}

struct Drained {
  std::vector<float> samples;
  std::vector<size_t> chunk_samples;
  uint16_t channels = 0;  // of the last chunk
};

// Reads until the source reports the end; fails the test on an error.
inline Drained drain(FileSource& source) {
  Drained drained;
  while (true) {
    auto chunk = source.read();
    EXPECT_TRUE(chunk) << chunk.error().message();
    if (!chunk || !chunk->has_value()) break;
    const FileChunk& got = **chunk;
    drained.samples.insert(drained.samples.end(), got.samples.begin(), got.samples.end());
    drained.chunk_samples.push_back(got.samples.size());
    drained.channels = got.channels;
  }
  return drained;
}

// "ok" or the error kind's name.
template <class T>
std::string outcome(const Result<T, CoreError>& result) {
  return result ? "ok" : std::string(result.error().name());
}

}  // namespace murello::testing
