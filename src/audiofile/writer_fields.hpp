// Appending fixed-width integer fields and four-character codes to a file image, for
// the WAV and AIFF writers.
//
// Conventions: widths are bytes; `_le` fields are little-endian (RIFF), `_be` big-endian
// (AIFF).
#pragma once

#include <cstdint>
#include <vector>

namespace murello {

inline void put_le(std::vector<uint8_t>& out, uint64_t value, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

inline void put_be(std::vector<uint8_t>& out, uint64_t value, unsigned bytes) {
  for (unsigned i = bytes; i-- > 0;) out.push_back(uint8_t(value >> (8 * i)));
}

inline void put_four_cc(std::vector<uint8_t>& out, const char (&code)[5]) {
  out.insert(out.end(), code, code + 4);
}

}  // namespace murello
