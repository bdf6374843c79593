#include "core/sample.hpp"

#include <bit>
#include <cstring>

#include "util/quantise.hpp"

namespace murello {

static_assert(std::endian::native == std::endian::little,
              "byte-form conversions assume a little-endian host");

namespace {

constexpr float kInvInt16Scale = 1.0f / 32768.0f;

}  // namespace

void float_to_int16(std::span<const float> in, std::span<int16_t> out) {
  const float* src = in.data();
  int16_t* dst = out.data();
  const size_t n = in.size();
  for (size_t i = 0; i < n; ++i) dst[i] = static_cast<int16_t>(quantise<16>(src[i]));
}

void int16_to_float(std::span<const int16_t> in, std::span<float> out) {
  const int16_t* src = in.data();
  float* dst = out.data();
  const size_t n = in.size();
  for (size_t i = 0; i < n; ++i) dst[i] = static_cast<float>(src[i]) * kInvInt16Scale;
}

void int16_le_to_float(std::span<const std::byte> in, std::span<float> out) {
  const size_t n = in.size() / 2;
  const std::byte* src = in.data();
  float* dst = out.data();
  for (size_t i = 0; i < n; ++i) {
    int16_t v;
    std::memcpy(&v, src + 2 * i, 2);
    dst[i] = static_cast<float>(v) * kInvInt16Scale;
  }
}

void float32_le_to_float(std::span<const std::byte> in, std::span<float> out) {
  const size_t bytes = in.size() / 4 * 4;
  if (bytes > 0) std::memcpy(out.data(), in.data(), bytes);  // empty spans may be null
}

}  // namespace murello
