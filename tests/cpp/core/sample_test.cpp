#include "core/sample.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace murello {
namespace {

TEST(SampleConversion, FloatToInt16TruncatesClampsAndZeroesNan) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> in{1.0f, -1.0f, 0.5f, -0.00002f, 1.5f, -1.5f, nan, inf, -inf,
                        0.99999f, -0.99999f, 3.0f / 32768.0f - 1e-7f};
  std::vector<int16_t> out(in.size());
  float_to_int16(in, out);
  EXPECT_EQ(out, (std::vector<int16_t>{32767, -32768, 16384, 0, 32767, -32768, 0, 32767,
                                       -32768, 32767, -32767, 2}));
}

TEST(SampleConversion, Int16ToFloatIsExactInverseScale) {
  std::vector<int16_t> in{-32768, 32767, 0, 1, -1};
  std::vector<float> out(in.size());
  int16_to_float(in, out);
  EXPECT_EQ(out[0], -1.0f);
  EXPECT_EQ(out[1], 0.999969482421875f);
  EXPECT_EQ(out[3], 1.0f / 32768.0f);
  // Every int16 survives a round trip, including through long vectorised runs.
  std::vector<int16_t> all(65536);
  for (int i = 0; i < 65536; ++i) all[i] = static_cast<int16_t>(i - 32768);
  std::vector<float> floats(all.size());
  std::vector<int16_t> back(all.size());
  int16_to_float(all, floats);
  float_to_int16(floats, back);
  EXPECT_EQ(back, all);
}

TEST(SampleConversion, LittleEndianBytesIgnoreATrailingPartialSample) {
  const uint8_t raw[] = {0x00, 0x80, 0xFF, 0x7F, 0x01};
  std::vector<float> out(2);
  int16_le_to_float(std::as_bytes(std::span(raw)), out);
  EXPECT_EQ(out[0], -1.0f);
  EXPECT_EQ(out[1], 32767.0f / 32768.0f);

  float value = -0.25f;
  uint8_t f32[5] = {};
  std::memcpy(f32, &value, 4);
  std::vector<float> one(1);
  float32_le_to_float(std::as_bytes(std::span(f32)), one);
  EXPECT_EQ(one[0], -0.25f);
}

}  // namespace
}  // namespace murello
