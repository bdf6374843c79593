#include "audiofile/crc.hpp"

namespace murello {
namespace {

constexpr std::array<uint8_t, 256> make_crc8_table() {
  std::array<uint8_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    uint8_t c = uint8_t(i);
    for (int bit = 0; bit < 8; ++bit) c = uint8_t((c & 0x80) ? (c << 1) ^ 0x07 : c << 1);
    table[i] = c;
  }
  return table;
}

// Table k advances a byte followed by k zero bytes, so sixteen bytes fold in one step.
constexpr std::array<std::array<uint16_t, 256>, kCrc16Slices> make_crc16_tables() {
  std::array<std::array<uint16_t, 256>, kCrc16Slices> tables{};
  for (int i = 0; i < 256; ++i) {
    uint16_t c = uint16_t(i << 8);
    for (int bit = 0; bit < 8; ++bit) c = uint16_t((c & 0x8000) ? (c << 1) ^ 0x8005 : c << 1);
    tables[0][i] = c;
  }
  for (size_t k = 1; k < kCrc16Slices; ++k)
    for (int i = 0; i < 256; ++i) {
      uint16_t prev = tables[k - 1][i];
      tables[k][i] = uint16_t((prev << 8) ^ tables[0][prev >> 8]);
    }
  return tables;
}

}  // namespace

const std::array<uint8_t, 256> kCrc8Table = make_crc8_table();
const std::array<std::array<uint16_t, 256>, kCrc16Slices> kCrc16Tables = make_crc16_tables();

uint8_t crc8(std::span<const uint8_t> bytes, uint8_t crc) {
  for (uint8_t b : bytes) crc = kCrc8Table[crc ^ b];
  return crc;
}

uint16_t crc16(std::span<const uint8_t> bytes, uint16_t crc) {
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
  const auto& t = kCrc16Tables;
  for (; left >= kCrc16Slices; left -= kCrc16Slices, p += kCrc16Slices) {
    uint16_t folded = uint16_t(t[15][p[0] ^ (crc >> 8)] ^ t[14][p[1] ^ (crc & 0xFF)]);
    for (size_t k = 2; k < kCrc16Slices; ++k) folded ^= t[kCrc16Slices - 1 - k][p[k]];
    crc = folded;
  }
  for (; left > 0; --left, ++p) crc = uint16_t((crc << 8) ^ t[0][(crc >> 8) ^ *p]);
  return crc;
}

}  // namespace murello
