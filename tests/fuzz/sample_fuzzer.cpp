// The sample exchange at the module's edge (int16 and float32 in their byte forms) and
// the file library's stored layouts, on arbitrary bytes:
// - int16 bytes -> float -> int16 gives the same integers, and the byte and array
//   conversions agree;
// - float32 bytes pass unchanged, and any float quantises to trunc(clamp(x) * 32768);
// - for every stored layout, decode -> encode -> decode is stable.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "audiofile/sample.hpp"
#include "core/sample.hpp"

namespace {

using namespace murello;

void check_int16(std::span<const uint8_t> data) {
  const size_t n = data.size() / 2;
  std::vector<int16_t> ints(n);
  if (n) std::memcpy(ints.data(), data.data(), n * 2);
  std::vector<float> from_bytes(n), from_ints(n);
  int16_le_to_float(std::as_bytes(data), from_bytes);
  int16_to_float(ints, from_ints);
  std::vector<int16_t> back(n);
  float_to_int16(from_bytes, back);
  if (from_bytes != from_ints || back != ints) std::abort();
}

void check_float32(std::span<const uint8_t> data) {
  const size_t n = data.size() / 4;
  std::vector<float> floats(n);
  float32_le_to_float(std::as_bytes(data), floats);
  if (n && std::memcmp(floats.data(), data.data(), n * 4) != 0) std::abort();
  std::vector<int16_t> quantised(n);
  float_to_int16(floats, quantised);
  for (size_t i = 0; i < n; ++i) {
    const double x = std::isnan(floats[i]) ? 0.0 : std::fmin(std::fmax(floats[i], -1.0f), 1.0f);
    const double expected = std::fmin(std::trunc(x * 32768.0), 32767.0);
    if (quantised[i] != expected) std::abort();
  }
}

void check_layout(SampleLayout layout, std::span<const uint8_t> data) {
  std::vector<float> once, twice;
  std::vector<uint8_t> encoded;
  decode_layout(layout, data, once);
  if (once.size() != data.size() / layout.width_bytes()) std::abort();
  encode_layout(layout, once, encoded);
  decode_layout(layout, encoded, twice);
  if (once.size() != twice.size() ||
      (!once.empty() && std::memcmp(once.data(), twice.data(), once.size() * 4) != 0))
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::span<const uint8_t> rest(data + 1, size - 1);
  check_int16(rest);
  check_float32(rest);
  const uint8_t pick = data[0] % (kSampleEncodingCount + 2);
  SampleLayout layout;
  if (pick < kSampleEncodingCount) {
    layout.encoding = SampleEncoding(pick);
  } else {
    layout.law = pick == kSampleEncodingCount ? Companding::ALaw : Companding::MuLaw;
  }
  check_layout(layout, rest);
  return 0;
}
