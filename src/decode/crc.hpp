// CRC-8 and CRC-16 of FLAC frames: both MSB-first (no reflection), initial value 0,
// no final xor. CRC-8 uses polynomial 0x07 (frame headers), CRC-16 polynomial 0x8005
// (whole frames). Inputs are byte spans; a running value can be carried across calls
// by passing the previous result as `crc`.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace murello {

// One 256-entry table per polynomial, built at compile time and shared read-only.
extern const std::array<uint8_t, 256> kCrc8Table;
extern const std::array<std::array<uint16_t, 256>, 8> kCrc16Tables;  // slicing-by-8

uint8_t crc8(std::span<const uint8_t> bytes, uint8_t crc = 0);
uint16_t crc16(std::span<const uint8_t> bytes, uint16_t crc = 0);

}  // namespace murello
