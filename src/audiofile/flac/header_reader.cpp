#include "audiofile/flac/header_reader.hpp"

#include <array>
#include <bit>

#include "audiofile/crc.hpp"

namespace murello {
namespace {

constexpr size_t kMinFrameBytes = 6;

constexpr std::array<uint32_t, 12> kRateByCode = {
    0, 88200, 176400, 192000, 8000, 16000, 22050, 24000, 32000, 44100, 48000, 96000};
constexpr std::array<uint16_t, 8> kBitsByCode = {0, 8, 12, 0, 16, 20, 24, 32};

// Reads the UTF-8-like frame or sample number; its value is not needed.
Result<uint64_t, DecodeError> read_coded_number(BitReader& reader) {
  uint64_t first;
  if (!reader.read(8, first)) return reader.truncation();
  if ((first & 0xC0) == 0x80)
    return reader.malformed("a coded number not starting with a continuation octet");
  if (first == 0xFF) return reader.malformed("a coded number of at most seven octets");
  int following = first < 0x80 ? 0 : std::countl_one(uint8_t(first)) - 1;
  // The leading octet keeps 7 bits when alone, else 6 - following of them.
  uint64_t value = first & (following == 0 ? 0x7F : (0x3Fu >> following));
  for (int i = 0; i < following; ++i) {
    uint64_t octet;
    if (!reader.read(8, octet)) return reader.truncation();
    if ((octet & 0xC0) != 0x80) return reader.malformed("a coded number continuation octet");
    value = (value << 6) | (octet & 0x3F);
  }
  return value;
}

Result<uint32_t, DecodeError> read_block_size(BitReader& reader, unsigned code,
                                              uint64_t code_offset) {
  if (code == 0)
    return DecodeError::malformed(code_offset, "a block size other than the reserved 0b0000");
  if (code == 1) return 192u;
  if (code <= 5) return 576u << (code - 2);
  if (code >= 8) return 256u << (code - 8);
  uint64_t stored;
  if (!reader.read(code == 6 ? 8 : 16, stored)) return reader.truncation();
  if (code == 7 && stored == 0xFFFF)
    return reader.malformed("a block size representable in streaminfo");
  return uint32_t(stored + 1);
}

Result<uint32_t, DecodeError> read_sample_rate(BitReader& reader, unsigned code,
                                               uint64_t code_offset) {
  if (code == 15)
    return DecodeError::malformed(code_offset, "a sample rate other than the forbidden 0b1111");
  if (code < kRateByCode.size()) return kRateByCode[code];
  uint64_t stored;
  if (!reader.read(code == 12 ? 8 : 16, stored)) return reader.truncation();
  uint32_t scale = code == 12 ? 1000 : code == 14 ? 10 : 1;
  return uint32_t(stored) * scale;
}

}  // namespace

Result<FlacFrameFields, DecodeError> read_flac_frame_fields(std::span<const uint8_t> file,
                                                            BitReader& reader) {
  const size_t start = reader.origin();
  const size_t available = file.size() - start;
  if (available < kMinFrameBytes) return DecodeError::truncated(kMinFrameBytes, available);
  const uint8_t* bytes = file.data() + start;
  if (bytes[0] != 0xFF || (bytes[1] & 0xFE) != 0xF8)
    return DecodeError::malformed(start + 1, "a frame sync code");

  FlacFrameFields fields;
  fields.variable_blocking = (bytes[1] & 1) != 0;
  unsigned block_code = bytes[2] >> 4;
  unsigned rate_code = bytes[2] & 0xF;
  unsigned channel_code = bytes[3] >> 4;
  unsigned bits_code = (bytes[3] >> 1) & 0x7;
  // Each field's offset is the byte the reader stands in once the field is read: the
  // block-size code ends inside byte 2, the rate, channel and depth codes inside byte 3,
  // and the reserved bit ends byte 3.
  if (bits_code == 3) return DecodeError::malformed(start + 3, "a defined bit depth");
  if (bytes[3] & 1)
    return DecodeError::malformed(start + 4, "a cleared reserved bit in the frame header");
  if (channel_code > FlacFrameFields::kMidSide)
    return DecodeError::malformed(start + 3, "a defined channel assignment");
  fields.channel_code = uint8_t(channel_code);
  fields.bits_per_sample = kBitsByCode[bits_code];

  uint64_t fixed_part;
  if (!reader.read(32, fixed_part)) return reader.truncation();
  auto coded = read_coded_number(reader);
  if (!coded) return std::move(coded).error();
  fields.coded_number = *coded;
  auto block_size = read_block_size(reader, block_code, start + 2);
  if (!block_size) return std::move(block_size).error();
  fields.block_size_frames = *block_size;
  auto rate = read_sample_rate(reader, rate_code, start + 3);
  if (!rate) return std::move(rate).error();
  fields.sample_rate_hz = *rate;
  fields.rate_given = rate_code != 0;

  uint64_t crc_offset = reader.byte_position();
  uint64_t stored_crc;
  if (!reader.read(8, stored_crc)) return reader.truncation();
  if (kCheckFlacFrameCrcs && crc8(file.subspan(start, crc_offset - start)) != stored_crc)
    return DecodeError::malformed(crc_offset, "a frame header whose CRC-8 matches its contents");
  return fields;
}

}  // namespace murello
