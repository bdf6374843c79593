// DecodedAudio: what every reader of the audio-file library returns; AudioHeader: what
// a file's header says about its audio, read without decoding the samples.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <vector>

#include "audiofile/sample.hpp"

namespace murello {

struct DecodedAudio {
  std::vector<float> samples;  // frame-interleaved, channel 0 first
  uint32_t sample_rate_hz = 0; // exactly as the file declares it
  uint16_t channels = 0;       // at least 1
};

enum class ContainerKind : uint8_t { Wav, Rf64, Aiff, Aifc, Flac };

// How a stored sample is coded, apart from its width and byte order.
enum class SampleCoding : uint8_t { SignedPcm, UnsignedPcm, Float, ALaw, MuLaw };

struct AudioHeader {
  ContainerKind container = ContainerKind::Wav;
  uint32_t sample_rate_hz = 0;  // exactly as the file declares it
  uint16_t channels = 0;        // at least 1
  std::optional<uint64_t> frames;  // absent when a FLAC stream does not declare its length
  uint16_t bits_per_sample = 0;
  SampleCoding coding = SampleCoding::SignedPcm;
  std::endian byte_order = std::endian::little;  // of stored samples wider than a byte
};

// Where an uncompressed container keeps its samples and how they are stored, for a
// reader that converts them a piece at a time.
struct SampleRegion {
  AudioHeader header;
  SampleLayout layout;
  uint64_t offset_bytes = 0;  // from the start of the file
  uint64_t size_bytes = 0;    // whole frames only
};

// Sets the header's coding, width in bits and byte order from a stored layout.
constexpr void describe_layout(SampleLayout layout, AudioHeader& header) {
  header.bits_per_sample = static_cast<uint16_t>(8 * layout.sample_bytes());
  if (layout.law) {
    header.coding = *layout.law == Companding::ALaw ? SampleCoding::ALaw : SampleCoding::MuLaw;
    return;
  }
  switch (layout.encoding) {
    case SampleEncoding::Unsigned8:
      header.coding = SampleCoding::UnsignedPcm;
      return;
    case SampleEncoding::Float32Le:
    case SampleEncoding::Float64Le:
      header.coding = SampleCoding::Float;
      return;
    case SampleEncoding::Float32Be:
    case SampleEncoding::Float64Be:
      header.coding = SampleCoding::Float;
      header.byte_order = std::endian::big;
      return;
    case SampleEncoding::Signed16Be:
    case SampleEncoding::Signed24Be:
    case SampleEncoding::Signed32Be:
      header.coding = SampleCoding::SignedPcm;
      header.byte_order = std::endian::big;
      return;
    default:
      header.coding = SampleCoding::SignedPcm;
      return;
  }
}

}  // namespace murello
