// DecodeError: the one error value of the audio-file library, and ContainerName,
// the way a container names the codec it could not decode.
//
// Offsets are bytes from the start of the file (for writers, of the output file).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace murello {

struct ContainerName {
  enum class Form { WaveTag, FourCc, Codec };

  Form form = Form::WaveTag;
  uint16_t tag = 0;                   // WaveTag
  std::array<uint8_t, 4> fourcc{};    // FourCc
  std::string codec;                  // Codec (e.g. an EXTENSIBLE sub-format GUID)

  static ContainerName wave_tag(uint16_t tag);
  static ContainerName four_cc(std::array<uint8_t, 4> fourcc);
  static ContainerName codec_text(std::string text);

  // "WAVE format tag 0x0002", "four-CC 'sowt'", "codec '...'".
  std::string display() const;
};

struct DecodeError {
  enum class Kind {
    UnrecognisedContainer,
    UnsupportedCodec,
    UnsupportedBitDepth,
    UnsupportedChannelCount,
    Malformed,
    Truncated,
  };

  Kind kind = Kind::Malformed;
  std::array<uint8_t, 4> leading{};  // UnrecognisedContainer
  ContainerName name;                // UnsupportedCodec, UnsupportedBitDepth
  uint16_t bits = 0;                 // UnsupportedBitDepth
  uint16_t channels = 0;             // UnsupportedChannelCount
  uint64_t offset = 0;               // Malformed
  std::string expectation;           // Malformed
  uint64_t needed = 0;               // Truncated
  uint64_t available = 0;            // Truncated

  static DecodeError unrecognised_container(std::array<uint8_t, 4> leading);
  static DecodeError unsupported_codec(ContainerName name);
  static DecodeError unsupported_bit_depth(ContainerName name, uint16_t bits);
  static DecodeError unsupported_channel_count(uint16_t channels);
  static DecodeError malformed(uint64_t offset, std::string expectation);
  static DecodeError truncated(uint64_t needed, uint64_t available);

  std::string display() const;
};

// The four bytes as text when all are printable ASCII, else "0x" and eight hex digits.
std::string display_four_bytes(std::array<uint8_t, 4> bytes);

}  // namespace murello
