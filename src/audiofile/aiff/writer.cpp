#include "audiofile/aiff/writer.hpp"

#include <bit>
#include <utility>

#include "audiofile/writer_fields.hpp"

namespace murello {
namespace {

struct AiffFormatInfo {
  bool compressed;           // AIFF-C with a compression type
  uint16_t sample_size;      // COMM sampleSize, bits
  char compression_type[5];  // AIFF-C only
};

constexpr AiffFormatInfo kAiffFormats[12] = {
    {false, 8, "NONE"},  {true, 8, "raw "},  {false, 16, "NONE"}, {false, 24, "NONE"},
    {false, 32, "NONE"}, {true, 16, "sowt"}, {true, 24, "sowt"},  {true, 32, "sowt"},
    {true, 32, "fl32"},  {true, 64, "fl64"}, {true, 16, "alaw"},  {true, 16, "ulaw"},
};

constexpr uint32_t kAifcVersion = 0xA2805140;
constexpr uint32_t kAiffCommBytes = 18, kAifcCommBytes = 24;
// Bytes of the FORM body besides the samples: form type, [FVER,] COMM, SSND header.
constexpr uint64_t kAiffOverhead = 4 + 8 + kAiffCommBytes + 16;
constexpr uint64_t kAifcOverhead = 4 + 12 + 8 + kAifcCommBytes + 16;
constexpr uint64_t kAiffRateOffset = 28, kAifcRateOffset = 40;

}  // namespace

std::array<uint8_t, 10> aiff_extended_rate(uint32_t sample_rate_hz) {
  unsigned leading = unsigned(std::countl_zero(sample_rate_hz));
  uint16_t exponent = uint16_t(16414 - leading);
  uint64_t mantissa = uint64_t(sample_rate_hz) << (32 + leading);
  std::array<uint8_t, 10> bytes{};
  bytes[0] = uint8_t(exponent >> 8);
  bytes[1] = uint8_t(exponent);
  for (unsigned i = 0; i < 8; ++i) bytes[2 + i] = uint8_t(mantissa >> (56 - 8 * i));
  return bytes;
}

uint64_t aiff_form_bytes(AiffSampleFormat format, uint64_t data_bytes) {
  bool compressed = kAiffFormats[size_t(format)].compressed;
  return data_bytes + (compressed ? kAifcOverhead : kAiffOverhead) + data_bytes % 2;
}

namespace {

Result<void, DecodeError> check_request(const AiffWriteRequest& request) {
  if (request.channels < 1)
    return DecodeError::unsupported_channel_count(uint16_t(request.channels));
  if (request.sample_rate_hz == 0)
    return DecodeError::malformed(
        kAiffFormats[size_t(request.format)].compressed ? kAifcRateOffset : kAiffRateOffset,
        "a non-zero sample rate");
  return {};
}

// The FORM size for `data_bytes` of samples, or the refusal of audio that outgrows it.
Result<uint64_t, DecodeError> checked_form_bytes(AiffSampleFormat format, uint64_t data_bytes) {
  const uint64_t form_bytes = aiff_form_bytes(format, data_bytes);
  if (form_bytes > 0xFFFFFFFF)
    return DecodeError::malformed(4, "audio that fits within AIFF's 32-bit size fields");
  return form_bytes;
}

void put_header(const AiffWriteRequest& request, uint64_t frames, uint64_t data_bytes,
                uint64_t form_bytes, std::vector<uint8_t>& out) {
  const AiffFormatInfo& info = kAiffFormats[size_t(request.format)];
  put_four_cc(out, "FORM");
  put_be(out, form_bytes, 4);
  put_four_cc(out, info.compressed ? "AIFC" : "AIFF");
  if (info.compressed) {
    put_four_cc(out, "FVER");
    put_be(out, 4, 4);
    put_be(out, kAifcVersion, 4);
  }
  put_four_cc(out, "COMM");
  put_be(out, info.compressed ? kAifcCommBytes : kAiffCommBytes, 4);
  put_be(out, uint64_t(request.channels), 2);
  put_be(out, frames, 4);
  put_be(out, info.sample_size, 2);
  auto rate = aiff_extended_rate(request.sample_rate_hz);
  out.insert(out.end(), rate.begin(), rate.end());
  if (info.compressed) {
    put_four_cc(out, info.compression_type);
    put_be(out, 0, 2);  // empty compressionName: count byte and its pad byte
  }
  put_four_cc(out, "SSND");
  put_be(out, data_bytes + 8, 4);
  put_be(out, 0, 4);  // offset
  put_be(out, 0, 4);  // blockSize
}

}  // namespace

Result<size_t, DecodeError> write_aiff_header(const AiffWriteRequest& request, uint64_t frames,
                                              std::vector<uint8_t>& out) {
  if (auto checked = check_request(request); !checked) return std::move(checked).error();
  const uint64_t data_bytes =
      aiff_sample_layout(request.format).width_bytes() * uint64_t(request.channels) * frames;
  auto form_bytes = checked_form_bytes(request.format, data_bytes);
  if (!form_bytes) return std::move(form_bytes).error();
  const size_t start = out.size();
  put_header(request, frames, data_bytes, *form_bytes, out);
  return out.size() - start;
}

Result<size_t, DecodeError> write_aiff(const AiffWriteRequest& request,
                                       std::span<const float> samples,
                                       std::vector<uint8_t>& out) {
  if (auto checked = check_request(request); !checked) return std::move(checked).error();
  const SampleLayout layout = aiff_sample_layout(request.format);
  const uint64_t width = layout.width_bytes();
  const uint64_t channels = uint64_t(request.channels);
  if (samples.size() % channels != 0)
    return DecodeError::truncated(width * channels, width * (samples.size() % channels));
  const uint64_t data_bytes = width * samples.size();
  auto form_bytes = checked_form_bytes(request.format, data_bytes);
  if (!form_bytes) return std::move(form_bytes).error();

  const size_t start = out.size();
  out.reserve(start + 8 + *form_bytes);
  put_header(request, samples.size() / channels, data_bytes, *form_bytes, out);
  encode_layout(layout, samples, out);
  if (data_bytes % 2 != 0) out.push_back(0);
  return out.size() - start;
}

}  // namespace murello
