// Any bytes through the FLAC decoder alone. Built twice: as shipped, and with the frame
// CRCs ignored so that mutated frames get past the checksums into the subframe decoders.
// The heap stays within the bound of heap_bound.hpp.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "audiofile/flac/decoder.hpp"
#include "heap_bound.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  murello::fuzz::HeapHighWater heap;
  auto decoded = murello::decode_flac(std::span(data, size));
  heap.check(size, decoded ? decoded->samples.size() * sizeof(float) : 0);
  if (decoded) {
    if (decoded->channels == 0 || decoded->samples.size() % decoded->channels != 0) std::abort();
    // Integer samples scaled by a power of two are always within full scale.
    for (float x : decoded->samples) {
      if (!(std::fabs(x) <= 1.0f)) std::abort();
    }
  }
  return 0;
}
