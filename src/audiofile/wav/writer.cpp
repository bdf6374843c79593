#include "audiofile/wav/writer.hpp"

#include <algorithm>
#include <utility>

#include "audiofile/writer_fields.hpp"

namespace murello {
namespace {

constexpr uint16_t kExtensibleTag = 0xFFFE;
constexpr uint32_t kPlainFmtBytes = 16, kExtensibleFmtBytes = 40;
constexpr uint32_t kDs64Bytes = 28;
constexpr uint32_t kSizeInDs64 = 0xFFFFFFFF;
// Bytes of a RIFF image besides the samples: "WAVE", fmt chunk, data chunk header.
constexpr uint64_t kPlainOverhead = 4 + 8 + kPlainFmtBytes + 8;
constexpr uint64_t kExtensibleOverhead = 4 + 8 + kExtensibleFmtBytes + 8;
constexpr uint64_t kDs64ChunkBytes = 8 + kDs64Bytes;
// The SubFormat GUID after its leading two-byte format code, as stored.
constexpr uint8_t kBaseGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                       0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void put_fmt_chunk(std::vector<uint8_t>& out, const WavWriteRequest& r) {
  const WavFormatInfo& info = wav_format_info(r.format);
  const uint32_t block_align = r.channels * uint32_t(info.layout.width_bytes());
  put_four_cc(out, "fmt ");
  put_le(out, r.extensible ? kExtensibleFmtBytes : kPlainFmtBytes, 4);
  put_le(out, r.extensible ? kExtensibleTag : info.format_tag, 2);
  put_le(out, r.channels, 2);
  put_le(out, r.sample_rate_hz, 4);
  put_le(out, std::min<uint64_t>(uint64_t(block_align) * r.sample_rate_hz, 0xFFFFFFFF), 4);
  put_le(out, block_align, 2);
  put_le(out, info.bits_per_sample, 2);
  if (!r.extensible) return;
  put_le(out, 22, 2);                     // cbSize
  put_le(out, info.bits_per_sample, 2);   // wValidBitsPerSample
  put_le(out, 0, 4);                      // dwChannelMask: no speaker positions claimed
  put_le(out, info.format_tag, 2);
  out.insert(out.end(), std::begin(kBaseGuidTail), std::end(kBaseGuidTail));
}

}  // namespace

WavLayout wav_layout(uint64_t data_bytes, bool extensible, bool force_rf64) {
  WavLayout layout;
  layout.data_bytes = data_bytes;
  layout.padded = data_bytes % 2 != 0;
  uint64_t body = data_bytes + (layout.padded ? 1 : 0);
  uint64_t riff = body + (extensible ? kExtensibleOverhead : kPlainOverhead);
  layout.rf64 = force_rf64 || riff > 0xFFFFFFFF;
  layout.riff_bytes = layout.rf64 ? riff + kDs64ChunkBytes : riff;
  return layout;
}

namespace {

Result<void, DecodeError> check_request(const WavWriteRequest& request) {
  if (request.channels == 0) return DecodeError::unsupported_channel_count(0);
  const uint64_t width = wav_format_info(request.format).layout.width_bytes();
  if (request.channels * width >= 65536) {
    return DecodeError::unsupported_channel_count(request.channels);
  }
  if (request.sample_rate_hz == 0) return DecodeError::malformed(24, "a non-zero sample rate");
  return {};
}

void put_header(const WavWriteRequest& request, const WavLayout& layout, uint64_t frames,
                std::vector<uint8_t>& out) {
  if (layout.rf64) {
    put_four_cc(out, "RF64");
    put_le(out, kSizeInDs64, 4);
    put_four_cc(out, "WAVE");
    put_four_cc(out, "ds64");
    put_le(out, kDs64Bytes, 4);
    put_le(out, layout.riff_bytes, 8);
    put_le(out, layout.data_bytes, 8);
    put_le(out, frames, 8);  // sampleCount, in frames
    put_le(out, 0, 4);       // no table rows
  } else {
    put_four_cc(out, "RIFF");
    put_le(out, layout.riff_bytes, 4);
    put_four_cc(out, "WAVE");
  }
  put_fmt_chunk(out, request);
  put_four_cc(out, "data");
  put_le(out, layout.rf64 ? kSizeInDs64 : layout.data_bytes, 4);
}

}  // namespace

Result<size_t, DecodeError> write_wav_header(const WavWriteRequest& request, uint64_t frames,
                                             std::vector<uint8_t>& out) {
  if (auto checked = check_request(request); !checked) return std::move(checked).error();
  const uint64_t width = wav_format_info(request.format).layout.width_bytes();
  const size_t start = out.size();
  put_header(request, wav_layout(width * request.channels * frames, request.extensible,
                                 request.force_rf64),
             frames, out);
  return out.size() - start;
}

Result<size_t, DecodeError> write_wav(const WavWriteRequest& request,
                                      std::span<const float> samples, std::vector<uint8_t>& out) {
  if (auto checked = check_request(request); !checked) return std::move(checked).error();
  const SampleLayout sample_layout = wav_format_info(request.format).layout;
  const uint64_t width = sample_layout.width_bytes();
  const uint64_t block_align = request.channels * width;
  if (samples.size() % request.channels != 0)
    return DecodeError::truncated(block_align, width * (samples.size() % request.channels));

  const WavLayout layout = wav_layout(width * samples.size(), request.extensible,
                                      request.force_rf64);
  const size_t start = out.size();
  out.reserve(start + kExtensibleOverhead + kDs64ChunkBytes + 8 + layout.data_bytes + 1);
  put_header(request, layout, samples.size() / request.channels, out);
  encode_layout(sample_layout, samples, out);
  if (layout.padded) out.push_back(0);
  return out.size() - start;
}

}  // namespace murello
