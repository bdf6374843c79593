// Sample format conversions at the edges of the core.
//
// Core samples are 32-bit floats, nominally in [-1.0, 1.0]. The int16 form is
// value * 32768 truncated toward zero and clamped, NaN giving 0; int16 back to float is
// value / 32768. Byte forms are little-endian. Output spans must be as long as inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace murello {

enum class SampleFormat : uint8_t { Int16 = 0, Float32 = 1 };

void float_to_int16(std::span<const float> in, std::span<int16_t> out);
void int16_to_float(std::span<const int16_t> in, std::span<float> out);

// Little-endian byte forms; a trailing partial sample is ignored by the caller.
void int16_le_to_float(std::span<const std::byte> in, std::span<float> out);
void float32_le_to_float(std::span<const std::byte> in, std::span<float> out);

}  // namespace murello
