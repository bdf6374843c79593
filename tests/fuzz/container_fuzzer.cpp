// Any bytes through the container detection and whichever reader it picks. A success
// must be self-consistent (whole frames, at least one channel), and the heap stays
// within the bound of heap_bound.hpp.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "audiofile/container.hpp"
#include "heap_bound.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  murello::fuzz::HeapHighWater heap;
  auto decoded = murello::decode_audio(std::span(data, size));
  heap.check(size, decoded ? decoded->samples.size() * sizeof(float) : 0);
  if (decoded) {
    if (decoded->channels == 0 || decoded->samples.size() % decoded->channels != 0) std::abort();
  }
  return 0;
}
