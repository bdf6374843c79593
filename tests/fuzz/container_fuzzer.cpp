// Any bytes through the container detection and whichever reader it picks. A success
// must be self-consistent (whole frames, at least one channel), and the heap stays
// within the bound of heap_bound.hpp. The header read agrees with the decode: a refused
// header is a refused decode with the same error, and a decoded file has the header's
// rate, channels and frame count.
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
  auto header = murello::read_audio_header(std::span(data, size));
  if (!header) {
    if (decoded || decoded.error().display() != header.error().display()) std::abort();
  } else if (decoded) {
    const uint64_t frames = decoded->samples.size() / decoded->channels;
    if (header->sample_rate_hz != decoded->sample_rate_hz ||
        header->channels != decoded->channels || (header->frames && *header->frames != frames)) {
      std::abort();
    }
  }
  return 0;
}
