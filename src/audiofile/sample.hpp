// Stored sample layouts and their conversions to and from float32.
//
// Conventions: counts are samples (not frames; interleaving is the caller's business),
// widths are bytes per sample. Every routine appends to its output vector, reserving the
// whole appended length once, and none can fail. Decoding maps full scale to -1.0..+1.0;
// encoding clamps to -1.0..+1.0 first (NaN encodes as 0) and truncates toward zero.
// Float layouts are stored unclamped in both directions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace murello {

// The number of each layout indexes kSampleWidthBytes; readers and writers name
// these in their format tables, so the numbering is fixed.
enum class SampleEncoding : uint8_t {
  Unsigned8 = 0,
  Signed8 = 1,
  Signed16Le = 2,
  Signed16Be = 3,
  Signed24Le = 4,
  Signed24Be = 5,
  Signed32Le = 6,
  Signed32Be = 7,
  Float32Le = 8,
  Float32Be = 9,
  Float64Le = 10,  // decodes to the nearest float32, NaN to 0.0
  Float64Be = 11,
};

inline constexpr size_t kSampleEncodingCount = 12;
inline constexpr size_t kSampleWidthBytes[kSampleEncodingCount] = {1, 1, 2, 2, 3, 3,
                                                                   4, 4, 4, 4, 8, 8};

constexpr size_t sample_width_bytes(SampleEncoding encoding) {
  return kSampleWidthBytes[static_cast<size_t>(encoding)];
}

// G.711 companding, one byte per sample.
enum class Companding : uint8_t { ALaw, MuLaw };

// Appends floor(bytes.size() / width) samples; a trailing partial sample is ignored.
void decode_samples(SampleEncoding encoding, std::span<const uint8_t> bytes,
                    std::vector<float>& out);

// Appends one sample per byte.
void decode_companded(Companding law, std::span<const uint8_t> bytes, std::vector<float>& out);

// Appends width * samples.size() bytes.
void encode_samples(SampleEncoding encoding, std::span<const float> samples,
                    std::vector<uint8_t>& out);

// Appends one byte per sample; the sample is first quantised to 16 bits as for Signed16Le.
void encode_companded(Companding law, std::span<const float> samples, std::vector<uint8_t>& out);

// A layout as a container's format table names it: a linear encoding, or a G.711 law
// (in which case encoding is unused). A reader may find each sample stored in a slot wider
// than the sample, as a WAV block alignment says (24-bit samples in 4-byte slots, as
// capture hardware delivers them); the sample is then the slot's leading bytes, its
// low-order bytes in the little-endian layouts where slots occur.
struct SampleLayout {
  SampleEncoding encoding = SampleEncoding::Signed16Le;
  std::optional<Companding> law;
  uint16_t slot_bytes = 0;  // bytes each stored sample occupies; 0 = exactly its own width

  // Bytes of one sample's value.
  constexpr size_t sample_bytes() const { return law ? 1 : sample_width_bytes(encoding); }
  // Bytes each stored sample occupies, slot included.
  constexpr size_t width_bytes() const { return slot_bytes ? slot_bytes : sample_bytes(); }
};

// decode_samples or decode_companded, as the layout says: floor(bytes.size() /
// width_bytes()) samples, each taken from the leading bytes of its slot.
void decode_layout(SampleLayout layout, std::span<const uint8_t> bytes, std::vector<float>& out);

// encode_samples or encode_companded, as the layout says. Writers store samples without
// slots: slot_bytes must be 0.
void encode_layout(SampleLayout layout, std::span<const float> samples,
                   std::vector<uint8_t>& out);

}  // namespace murello
