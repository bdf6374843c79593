// Encode then decode: arbitrary samples, rate, channel count, depth and level are written
// as FLAC, WAV or AIFF and read back through the container detection. Every integer the
// writer stored must come back unchanged (compared as the decoder's float of it), float
// layouts bit for bit.
//
// Input: [container][channels][depth][level][rate: 3 bytes][signal kind][samples...]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "audiofile/aiff/writer.hpp"
#include "audiofile/container.hpp"
#include "audiofile/flac_encoder/encoder.hpp"
#include "audiofile/wav/writer.hpp"

namespace {

using namespace murello;

enum class Layout { Integer, Float32, Float64 };

struct Target {
  Layout layout = Layout::Integer;
  unsigned bits = 16;  // integer layouts
};

// The writers' quantiser for any depth, in double where every step is exact: clamp to
// full scale (NaN is silence), scale by 2^(bits-1), truncate, limit to the signed range.
double quantised(float x, unsigned bits) {
  const double full = std::ldexp(1.0, int(bits) - 1);
  double s = std::isnan(x) ? 0.0 : double(x) * full;
  s = std::trunc(std::fmin(std::fmax(s, -full), full - 1.0));
  return s / full;
}

bool same(float decoded, float written, Target target) {
  switch (target.layout) {
    case Layout::Integer: return decoded == static_cast<float>(quantised(written, target.bits));
    case Layout::Float32: return std::memcmp(&decoded, &written, sizeof decoded) == 0;
    case Layout::Float64: return std::isnan(written) ? decoded == 0.0f
                                 : std::memcmp(&decoded, &written, sizeof decoded) == 0;
  }
  return false;
}

// Three signal shapes: raw float bits (NaN, infinities, huge values), int16 steps, and a
// random walk whose smoothness lets the FLAC predictors and Rice coder do real work.
std::vector<float> samples_from(uint8_t kind, std::span<const uint8_t> bytes) {
  std::vector<float> out;
  switch (kind % 3) {
    case 0:
      out.resize(bytes.size() / 4);
      if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);
      break;
    case 1:
      for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        out.push_back(float(int16_t(bytes[i] | bytes[i + 1] << 8)) / 32768.0f);
      break;
    default: {
      int32_t level = 0;
      for (uint8_t b : bytes) {
        level = std::clamp(level + int8_t(b), -32768, 32767);
        out.push_back(float(level) / 32768.0f);
      }
    }
  }
  return out;
}

// Writes the samples in the container, depth and level the input bytes pick; `rate` is
// narrowed to what the container can hold.
bool write(uint8_t container, uint8_t depth, uint8_t level, uint32_t& rate, uint16_t channels,
           std::span<const float> samples, Target& target, std::vector<uint8_t>& file) {
  switch (container % 3) {
    case 0: {
      rate = rate % 1048575 + 1;
      FlacEncodeRequest request{rate, channels, uint8_t(4 + depth % 29),
                                uint8_t(level % 9)};
      target = {Layout::Integer, request.bits_per_sample};
      return bool(encode_flac(request, samples, file));
    }
    case 1: {
      static constexpr WavSampleFormat kFormats[] = {
          WavSampleFormat::Pcm8, WavSampleFormat::Pcm16, WavSampleFormat::Pcm24,
          WavSampleFormat::Pcm32, WavSampleFormat::Float32, WavSampleFormat::Float64};
      static constexpr Target kTargets[] = {{Layout::Integer, 8},  {Layout::Integer, 16},
                                            {Layout::Integer, 24}, {Layout::Integer, 32},
                                            {Layout::Float32, 0},  {Layout::Float64, 0}};
      const size_t f = depth % 6;
      target = kTargets[f];
      rate |= 1;
      WavWriteRequest request{rate, channels, kFormats[f], bool(level & 1), bool(level & 2)};
      return bool(write_wav(request, samples, file));
    }
    default: {
      static constexpr AiffSampleFormat kFormats[] = {
          AiffSampleFormat::Signed8,    AiffSampleFormat::Unsigned8,
          AiffSampleFormat::Signed16Be, AiffSampleFormat::Signed24Be,
          AiffSampleFormat::Signed32Be, AiffSampleFormat::Signed16Le,
          AiffSampleFormat::Signed24Le, AiffSampleFormat::Signed32Le,
          AiffSampleFormat::Float32,    AiffSampleFormat::Float64};
      static constexpr Target kTargets[] = {
          {Layout::Integer, 8},  {Layout::Integer, 8},  {Layout::Integer, 16},
          {Layout::Integer, 24}, {Layout::Integer, 32}, {Layout::Integer, 16},
          {Layout::Integer, 24}, {Layout::Integer, 32}, {Layout::Float32, 0},
          {Layout::Float64, 0}};
      const size_t f = depth % 10;
      target = kTargets[f];
      rate |= 1;
      AiffWriteRequest request{rate, int16_t(channels), kFormats[f]};
      return bool(write_aiff(request, samples, file));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const uint16_t channels = data[1] % 8 + 1;
  uint32_t rate = uint32_t(data[4]) | uint32_t(data[5]) << 8 | uint32_t(data[6]) << 16;
  std::vector<float> samples = samples_from(data[7], std::span(data + 8, size - 8));
  samples.resize(samples.size() / channels * channels);

  Target target;
  std::vector<uint8_t> file;
  if (!write(data[0], data[2], data[3], rate, channels, samples, target, file)) std::abort();
  auto decoded = decode_audio(file);
  if (!decoded || decoded->channels != channels || decoded->sample_rate_hz != rate ||
      decoded->samples.size() != samples.size())
    std::abort();
  for (size_t i = 0; i < samples.size(); ++i) {
    if (!same(decoded->samples[i], samples[i], target)) std::abort();
  }
  return 0;
}
