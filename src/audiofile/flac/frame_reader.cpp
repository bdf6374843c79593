#include "audiofile/flac/frame_reader.hpp"

#include "audiofile/crc.hpp"
#include "audiofile/flac/decorrelate.hpp"
#include "audiofile/flac/subframe_reader.hpp"

namespace murello {
namespace {

// The side channel needs one bit more than the others to hold a difference.
bool is_side_channel(uint8_t channel_code, size_t channel) {
  return (channel == 1 && (channel_code == FlacFrameFields::kLeftSide ||
                           channel_code == FlacFrameFields::kMidSide)) ||
         (channel == 0 && channel_code == FlacFrameFields::kSideRight);
}

}  // namespace

Result<size_t, DecodeError> read_flac_frame_body(std::span<const uint8_t> file, BitReader& reader,
                                                 const FlacFrameFields& fields,
                                                 unsigned bits_per_sample,
                                                 std::span<const std::span<int64_t>> channels) {
  for (size_t c = 0; c < channels.size(); ++c) {
    unsigned bits = bits_per_sample + (is_side_channel(fields.channel_code, c) ? 1 : 0);
    if (auto subframe = read_flac_subframe(reader, bits, channels[c]); !subframe)
      return std::move(subframe).error();
  }
  reader.align_to_byte();
  const size_t start = reader.origin();
  const uint64_t crc_offset = reader.byte_position();
  uint64_t stored_crc;
  if (!reader.read(16, stored_crc)) return reader.truncation();
  if (kCheckFlacFrameCrcs && crc16(file.subspan(start, crc_offset - start)) != stored_crc)
    return DecodeError::malformed(crc_offset, "a frame whose CRC-16 matches its contents");
  if (channels.size() == 2) decorrelate_flac_channels(fields.channel_code, channels[0], channels[1]);
  return size_t(crc_offset + 2);
}

}  // namespace murello
