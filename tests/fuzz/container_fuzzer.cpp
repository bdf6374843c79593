// Any bytes through the container detection and whichever reader it picks. A success
// must be self-consistent (whole frames, at least one channel), and the heap stays
// within the bound of heap_bound.hpp. The header read agrees with the decode: a refused
// header is a refused decode with the same error, and a decoded file has the header's
// rate, channels and frame count. Decoding a piece at a time gives the same samples, or
// the same first error.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "audiofile/container.hpp"
#include "audiofile/stream_decoder.hpp"
#include "heap_bound.hpp"

namespace {

// The samples of a piecewise decode in 1000-frame pieces, or its first error's text.
std::string stream_decode(std::span<const uint8_t> file, std::vector<float>& samples) {
  auto decoder = murello::AudioStreamDecoder::open(file);
  if (!decoder) return decoder.error().display();
  while (true) {
    auto more = decoder->next(1000, samples);
    if (!more) return more.error().display();
    if (!*more) break;
  }
  auto finished = decoder->finish();
  return finished ? std::string() : finished.error().display();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  murello::fuzz::HeapHighWater heap;
  auto decoded = murello::decode_audio(std::span(data, size));
  heap.check(size, decoded ? decoded->samples.size() * sizeof(float) : 0);
  if (decoded) {
    if (decoded->channels == 0 || decoded->samples.size() % decoded->channels != 0) std::abort();
  }
  std::vector<float> pieces;
  const std::string piece_error = stream_decode(std::span(data, size), pieces);
  // Compared as bytes: a float file may hold NaNs. Empty vectors may hold no storage at
  // all, which memcmp must not be given.
  const bool same_samples =
      decoded && pieces.size() == decoded->samples.size() &&
      (pieces.empty() ||
       std::memcmp(pieces.data(), decoded->samples.data(), pieces.size() * sizeof(float)) == 0);
  if (decoded ? !piece_error.empty() || !same_samples
              : piece_error != decoded.error().display()) {
    std::abort();
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
