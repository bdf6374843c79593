#include "audiofile/crc.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace murello {
namespace {

// Bit-at-a-time CRC-16 (poly 0x8005), the definition the sliced table must reproduce.
uint16_t crc16_by_bits(std::span<const uint8_t> bytes) {
  uint16_t crc = 0;
  for (uint8_t b : bytes) {
    crc ^= uint16_t(b << 8);
    for (int i = 0; i < 8; ++i) crc = uint16_t((crc & 0x8000) ? (crc << 1) ^ 0x8005 : crc << 1);
  }
  return crc;
}

TEST(FlacCrc, CheckValues) {
  const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crc8(digits), 0xF4);
  EXPECT_EQ(crc16(digits), 0xFEE8);
}

TEST(FlacCrc, SlicedCrc16MatchesBitwiseAtEveryLengthAndSplit) {
  std::vector<uint8_t> data(70);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 37 + 11);
  for (size_t length = 0; length <= data.size(); ++length) {
    std::span<const uint8_t> part(data.data(), length);
    ASSERT_EQ(crc16(part), crc16_by_bits(part)) << length;
    size_t half = length / 3;
    EXPECT_EQ(crc16(part.subspan(half), crc16(part.first(half))), crc16_by_bits(part));
  }
}

}  // namespace
}  // namespace murello
