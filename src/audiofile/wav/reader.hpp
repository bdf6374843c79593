// WAV and RF64 reading, and the sample formats a WAV fmt chunk can name.
//
// Conventions: all RIFF/RF64 integers are little-endian; positions are bytes from the start
// of the file; rates are Hz. The reader is strict: the first broken rule is returned as a
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

// What a fmt chunk resolves to; the numbering is shared with the WAV writer.
enum class WavSampleFormat : uint8_t {
  Pcm8 = 0,  // unsigned
  Pcm16 = 1,
  Pcm24 = 2,
  Pcm32 = 3,
  Float32 = 4,
  Float64 = 5,
  ALaw = 6,
  MuLaw = 7,
};

struct WavFormatInfo {
  uint16_t format_tag;       // plain (non-extensible) wFormatTag
  uint16_t bits_per_sample;  // wBitsPerSample
  SampleLayout layout;       // width and conversion
};

inline constexpr WavFormatInfo kWavFormats[8] = {
    {1, 8, {SampleEncoding::Unsigned8, {}}},
    {1, 16, {SampleEncoding::Signed16Le, {}}},
    {1, 24, {SampleEncoding::Signed24Le, {}}},
    {1, 32, {SampleEncoding::Signed32Le, {}}},
    {3, 32, {SampleEncoding::Float32Le, {}}},
    {3, 64, {SampleEncoding::Float64Le, {}}},
    {6, 8, {SampleEncoding::Unsigned8, Companding::ALaw}},
    {7, 8, {SampleEncoding::Unsigned8, Companding::MuLaw}},
};

constexpr const WavFormatInfo& wav_format_info(WavSampleFormat format) {
  return kWavFormats[static_cast<size_t>(format)];
}

// The header of a file whose bytes 0..3 are "RIFF" or "RF64" and bytes 8..11 "WAVE"
// (container detection has checked both, and that the buffer holds at least 12 bytes).
// `bytes` is the file, or a prefix of it that holds every chunk before the data chunk and
// the data chunk's header; a shorter one fails as a file ending there would. PCM of any
// depth up to 32 bits is read in whole bytes, its bits_per_sample as declared.
Result<SampleHeader, DecodeError> parse_wav_header(std::span<const uint8_t> bytes);

// parse_wav_header settled against the whole file (locate_samples).
Result<SampleRegion, DecodeError> read_wav_region(std::span<const uint8_t> file);

// Decodes a whole file, after the checks of read_wav_region with its errors.
Result<DecodedAudio, DecodeError> decode_wav(std::span<const uint8_t> file);

// What decode_wav tells about the audio besides the samples, after the same checks with
// the same errors; no sample is converted.
Result<AudioHeader, DecodeError> read_wav_header(std::span<const uint8_t> file);

}  // namespace murello
