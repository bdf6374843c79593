// AIFF and AIFF-C reading, and the sample formats a COMM chunk can name.
//
// Conventions: all AIFF integers are big-endian; positions are bytes from the start of the
// file; rates are Hz. The reader is strict: the first broken rule is returned as a
// DecodeError and nothing partial is delivered. Sizes that a streaming writer left as
// placeholders are not broken rules (sample_region.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "audiofile/audio.hpp"
#include "audiofile/error.hpp"
#include "audiofile/sample.hpp"
#include "audiofile/sample_region.hpp"
#include "util/result.hpp"

namespace murello {

// What a COMM chunk resolves to; the numbering is shared with the AIFF writer.
enum class AiffSampleFormat : uint8_t {
  Signed8 = 0,   // NONE/twos/sowt, 8 bits
  Unsigned8 = 1, // "raw ", 8 bits
  Signed16Be = 2,
  Signed24Be = 3,
  Signed32Be = 4,
  Signed16Le = 5,  // sowt
  Signed24Le = 6,
  Signed32Le = 7,
  Float32 = 8,  // fl32, big-endian
  Float64 = 9,  // fl64, big-endian
  ALaw = 10,
  MuLaw = 11,
};

inline constexpr SampleLayout kAiffLayouts[12] = {
    {SampleEncoding::Signed8, {}},    {SampleEncoding::Unsigned8, {}},
    {SampleEncoding::Signed16Be, {}}, {SampleEncoding::Signed24Be, {}},
    {SampleEncoding::Signed32Be, {}}, {SampleEncoding::Signed16Le, {}},
    {SampleEncoding::Signed24Le, {}}, {SampleEncoding::Signed32Le, {}},
    {SampleEncoding::Float32Be, {}},  {SampleEncoding::Float64Be, {}},
    {SampleEncoding::Unsigned8, Companding::ALaw}, {SampleEncoding::Unsigned8, Companding::MuLaw},
};

constexpr SampleLayout aiff_sample_layout(AiffSampleFormat format) {
  return kAiffLayouts[static_cast<size_t>(format)];
}

// The header of a file whose bytes 0..3 are "FORM" and bytes 8..11 "AIFF" or "AIFC"
// (container detection has checked both, and that the buffer holds at least 12 bytes).
// `bytes` is the file, or a prefix of it that holds every chunk before the SSND chunk and
// the SSND chunk's first 16 bytes; a shorter one fails as a file ending there would. The
// linear types take any sample size up to 32 bits, read in whole bytes, bits_per_sample
// as declared.
Result<SampleHeader, DecodeError> parse_aiff_header(std::span<const uint8_t> bytes);

// parse_aiff_header settled against the whole file (locate_samples). An SSND chunk holding
// more than numSampleFrames frames gives exactly numSampleFrames.
Result<SampleRegion, DecodeError> read_aiff_region(std::span<const uint8_t> file);

// Decodes a whole file, after the checks of read_aiff_region with its errors.
Result<DecodedAudio, DecodeError> decode_aiff(std::span<const uint8_t> file);

// What decode_aiff tells about the audio besides the samples, after the same checks with
// the same errors; no sample is converted.
Result<AudioHeader, DecodeError> read_aiff_header(std::span<const uint8_t> file);

}  // namespace murello
