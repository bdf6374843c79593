// CRC-8 and CRC-16 of FLAC frames: both MSB-first (no reflection), initial value 0,
// no final xor. CRC-8 uses polynomial 0x07 (frame headers), CRC-16 polynomial 0x8005
// (whole frames). Inputs are byte spans; a running value can be carried across calls
// by passing the previous result as `crc`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace murello {

// 256-entry tables built at compile time and shared read-only; CRC-16 has one per
// byte of a 16-byte slice, so that long frames fold 16 bytes per step.
inline constexpr size_t kCrc16Slices = 16;
extern const std::array<uint8_t, 256> kCrc8Table;
extern const std::array<std::array<uint16_t, 256>, kCrc16Slices> kCrc16Tables;

uint8_t crc8(std::span<const uint8_t> bytes, uint8_t crc = 0);
uint16_t crc16(std::span<const uint8_t> bytes, uint16_t crc = 0);

}  // namespace murello
