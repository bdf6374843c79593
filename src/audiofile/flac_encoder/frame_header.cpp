#include "audiofile/flac_encoder/frame_header.hpp"

#include <span>

#include "audiofile/crc.hpp"

namespace murello {
namespace {

constexpr uint32_t kFixedBlockingSync = 0xFFF8;

// The UTF-8-like coding of frame numbers: up to 7 bytes for 36 bits.
void write_coded_number(FlacBitWriter& writer, uint64_t value) {
  if (value < 0x80) {
    writer.put(uint32_t(value), 8);
    return;
  }
  unsigned bytes = 2;
  while (bytes < 7 && value >= (uint64_t(1) << (5 * bytes + 1))) ++bytes;
  unsigned lead_ones = 0xFF00u >> bytes;
  writer.put((lead_ones & 0xFF) | uint32_t(value >> (6 * (bytes - 1))), 8);
  for (unsigned i = bytes - 1; i-- > 0;) writer.put(0x80 | uint32_t((value >> (6 * i)) & 0x3F), 8);
}

std::span<const uint8_t> written_since(FlacBitWriter& writer, size_t frame_start) {
  writer.flush();
  return std::span<const uint8_t>(writer.bytes().data() + frame_start,
                                  writer.byte_position() - frame_start);
}

}  // namespace

unsigned flac_block_size_code(uint32_t block_frames) {
  switch (block_frames) {
    case 192: return 1;
    case 576: return 2;
    case 1152: return 3;
    case 2304: return 4;
    case 4608: return 5;
    case 256: return 8;
    case 512: return 9;
    case 1024: return 10;
    case 2048: return 11;
    case 4096: return 12;
    case 8192: return 13;
    case 16384: return 14;
    case 32768: return 15;
    default: return block_frames <= 256 ? 6 : 7;
  }
}

unsigned flac_sample_rate_code(uint32_t sample_rate_hz) {
  switch (sample_rate_hz) {
    case 88200: return 1;
    case 176400: return 2;
    case 192000: return 3;
    case 8000: return 4;
    case 16000: return 5;
    case 22050: return 6;
    case 24000: return 7;
    case 32000: return 8;
    case 44100: return 9;
    case 48000: return 10;
    case 96000: return 11;
    default: return 0;
  }
}

unsigned flac_sample_size_code(unsigned bits_per_sample) {
  switch (bits_per_sample) {
    case 8: return 1;
    case 12: return 2;
    case 16: return 4;
    case 20: return 5;
    case 24: return 6;
    case 32: return 7;
    default: return 0;
  }
}

void write_flac_frame_header(FlacBitWriter& writer, const FlacFrameHeader& header,
                             size_t frame_start) {
  unsigned block_code = flac_block_size_code(header.block_frames);
  writer.put(kFixedBlockingSync, 16);
  writer.put(block_code, 4);
  writer.put(flac_sample_rate_code(header.sample_rate_hz), 4);
  writer.put(header.channel_code, 4);
  writer.put(flac_sample_size_code(header.bits_per_sample), 3);
  writer.put(0, 1);
  write_coded_number(writer, header.frame_number);
  if (block_code == 6) writer.put(header.block_frames - 1, 8);
  if (block_code == 7) writer.put(header.block_frames - 1, 16);
  writer.put(crc8(written_since(writer, frame_start)), 8);
}

void write_flac_frame_footer(FlacBitWriter& writer, size_t frame_start) {
  writer.align();
  writer.put(crc16(written_since(writer, frame_start)), 16);
}

}  // namespace murello
