// The resampler on arbitrary rate pairs and block splits: finite input gives finite
// output, and feeding the input in blocks of any size gives the output of one call:
// exactly, or within a float ulp (or 1e-9) for the pairs whose long calls take
// transform passes.
//
// Input: [input rate: 3 bytes][output rate: 3 bytes][block count][block sizes...][samples]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "resampler/polyphase.hpp"

namespace {

// Rates up to 2^19 Hz keep every design cheap enough for a fuzzer's pace while still
// reaching the largest filters (ratios beyond 1000:1).
constexpr uint32_t kMaxRateHz = 1u << 19;
constexpr size_t kMaxSamples = 1u << 14;
// Output grows with the rate ratio (2 -> 81409 Hz makes 40000 samples of each input, and
// its flush pushes 211 zeros); inputs are cut, and pairs whose tail alone is longer are
// left out, so that no run produces more than this.
constexpr uint64_t kMaxOutputSamples = 1u << 18;

// Distance in representable floats between two finite values.
int64_t ulps_apart(float a, float b) {
  auto ordered = [](float f) {
    int32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits < 0 ? int64_t{INT32_MIN} - bits : int64_t{bits};
  };
  return std::llabs(ordered(a) - ordered(b));
}

uint32_t rate_from(const uint8_t* p) {
  return (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16) % kMaxRateHz + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  const uint32_t in_hz = rate_from(data);
  const uint32_t out_hz = rate_from(data + 3);
  const size_t block_count = data[6];
  if (size < 7 + block_count) return 0;
  std::span<const uint8_t> blocks(data + 7, block_count);
  std::span<const uint8_t> rest(data + 7 + block_count, size - 7 - block_count);

  auto whole = murello::Resampler::create(in_hz, out_hz);
  if (!whole) return 0;
  const uint64_t tail = (whole->taps() + 1) * out_hz / in_hz;
  if (tail > kMaxOutputSamples) return 0;
  auto split = murello::Resampler::create(in_hz, out_hz);
  if (!split) std::abort();

  const size_t max_in =
      size_t(std::min<uint64_t>(kMaxSamples, (kMaxOutputSamples - tail) * in_hz / out_hz));
  std::vector<float> in;
  for (size_t i = 0; i + 1 < rest.size() && in.size() < max_in; i += 2)
    in.push_back(float(int16_t(rest[i] | rest[i + 1] << 8)) / 32768.0f);

  std::vector<float> one_call;
  if (!whole->process(in, one_call)) std::abort();
  whole->flush(one_call);

  // Block sizes cycle through the given list (a zero is an empty call); what the list
  // does not cover goes in one last call.
  std::vector<float> chunked;
  size_t at = 0;
  for (size_t b = 0; b < blocks.size() && at < in.size(); ++b) {
    const size_t n = std::min<size_t>(blocks[b] * (b % 2 ? 1 : 17), in.size() - at);
    if (!split->process(std::span(in).subspan(at, n), chunked)) std::abort();
    at += n;
  }
  if (!split->process(std::span(in).subspan(at), chunked)) std::abort();
  split->flush(chunked);

  for (float y : one_call) {
    if (!std::isfinite(y)) std::abort();
  }
  const auto design = murello::design_filter(in_hz, out_hz);
  if (!murello::OverlapSave::suits(design.value())) {
    if (chunked != one_call) std::abort();
    return 0;
  }
  if (chunked.size() != one_call.size()) std::abort();
  for (size_t j = 0; j < one_call.size(); ++j) {
    const float a = chunked[j], b = one_call[j];
    if (ulps_apart(a, b) > 1 && std::abs(double(a) - double(b)) > 1e-9) std::abort();
  }
  return 0;
}
