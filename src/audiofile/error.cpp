#include "audiofile/error.hpp"

#include <cstdio>

namespace murello {

std::string display_four_bytes(std::array<uint8_t, 4> bytes) {
  bool printable = true;
  for (uint8_t b : bytes) printable = printable && b >= 0x20 && b <= 0x7E;
  if (printable) return std::string(bytes.begin(), bytes.end());
  char hex[11];
  std::snprintf(hex, sizeof hex, "0x%02x%02x%02x%02x", bytes[0], bytes[1], bytes[2], bytes[3]);
  return hex;
}

ContainerName ContainerName::wave_tag(uint16_t tag) {
  ContainerName n;
  n.form = Form::WaveTag;
  n.tag = tag;
  return n;
}

ContainerName ContainerName::four_cc(std::array<uint8_t, 4> fourcc) {
  ContainerName n;
  n.form = Form::FourCc;
  n.fourcc = fourcc;
  return n;
}

ContainerName ContainerName::codec_text(std::string text) {
  ContainerName n;
  n.form = Form::Codec;
  n.codec = std::move(text);
  return n;
}

std::string ContainerName::display() const {
  switch (form) {
    case Form::WaveTag: {
      char hex[5];
      std::snprintf(hex, sizeof hex, "%04x", tag);
      return std::string("WAVE format tag 0x") + hex;
    }
    case Form::FourCc:
      return "four-CC '" + display_four_bytes(fourcc) + "'";
    case Form::Codec:
      return "codec '" + codec + "'";
  }
  return {};
}

DecodeError DecodeError::unrecognised_container(std::array<uint8_t, 4> leading) {
  DecodeError e;
  e.kind = Kind::UnrecognisedContainer;
  e.leading = leading;
  return e;
}

DecodeError DecodeError::unsupported_codec(ContainerName name) {
  DecodeError e;
  e.kind = Kind::UnsupportedCodec;
  e.name = std::move(name);
  return e;
}

DecodeError DecodeError::unsupported_bit_depth(ContainerName name, uint16_t bits) {
  DecodeError e;
  e.kind = Kind::UnsupportedBitDepth;
  e.name = std::move(name);
  e.bits = bits;
  return e;
}

DecodeError DecodeError::unsupported_channel_count(uint16_t channels) {
  DecodeError e;
  e.kind = Kind::UnsupportedChannelCount;
  e.channels = channels;
  return e;
}

DecodeError DecodeError::malformed(uint64_t offset, std::string expectation) {
  DecodeError e;
  e.kind = Kind::Malformed;
  e.offset = offset;
  e.expectation = std::move(expectation);
  return e;
}

DecodeError DecodeError::truncated(uint64_t needed, uint64_t available) {
  DecodeError e;
  e.kind = Kind::Truncated;
  e.needed = needed;
  e.available = available;
  return e;
}

std::string DecodeError::display() const {
  switch (kind) {
    case Kind::UnrecognisedContainer:
      return "unrecognised container, leading bytes were '" + display_four_bytes(leading) + "'";
    case Kind::UnsupportedCodec:
      return "container names " + name.display() + ", which this build cannot decode";
    case Kind::UnsupportedBitDepth:
      return name.display() + " at " + std::to_string(bits) +
             " bits per sample is not a supported sample format";
    case Kind::UnsupportedChannelCount:
      return std::to_string(channels) + "-channel audio is not a supported layout";
    case Kind::Malformed:
      return "malformed input at byte " + std::to_string(offset) + ": expected " + expectation;
    case Kind::Truncated:
      return "input ended early: " + std::to_string(needed) + " needed, " +
             std::to_string(available) + " available";
  }
  return {};
}

}  // namespace murello
