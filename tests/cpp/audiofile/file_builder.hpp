// Hand-built container files for the reader tests: chunks, fields and whole files
// assembled byte by byte, so that each test shows exactly what the reader sees.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "audiofile/container.hpp"

namespace murello::testing {

class Bytes {
 public:
  Bytes() = default;
  Bytes(std::vector<uint8_t> v) : v_(std::move(v)) {}

  Bytes& text(std::string_view s) {
    v_.insert(v_.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& fill(size_t n, uint8_t value = 0) {
    v_.insert(v_.end(), n, value);
    return *this;
  }
  Bytes& append(const Bytes& b) {
    v_.insert(v_.end(), b.v_.begin(), b.v_.end());
    return *this;
  }
  Bytes& le(uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) v_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  Bytes& be(uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) v_.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  // Little-endian chunk (RIFF); size_field overrides the stored size, the body is kept.
  Bytes& chunk_le(std::string_view id, const Bytes& body, int64_t size_field = -1) {
    text(id).le(size_field < 0 ? body.size() : static_cast<uint64_t>(size_field), 4);
    return append(body).fill(body.size() & 1);
  }
  // Big-endian chunk (AIFF).
  Bytes& chunk_be(std::string_view id, const Bytes& body, int64_t size_field = -1) {
    text(id).be(size_field < 0 ? body.size() : static_cast<uint64_t>(size_field), 4);
    return append(body).fill(body.size() & 1);
  }
  // An 80-bit extended value from its raw fields.
  Bytes& extended(uint16_t sign_exponent, uint64_t mantissa) {
    return be(sign_exponent, 2).be(mantissa, 8);
  }
  // The 80-bit extended encoding of a positive integer.
  Bytes& extended_integer(uint64_t value) {
    const int lead = std::countl_zero(value);
    return extended(static_cast<uint16_t>(16383 + 63 - lead), value << lead);
  }

  size_t size() const { return v_.size(); }
  uint8_t& operator[](size_t i) { return v_[i]; }
  const std::vector<uint8_t>& vec() const { return v_; }
  operator std::span<const uint8_t>() const { return v_; }

 private:
  std::vector<uint8_t> v_;
};

// A 16-byte PCM-style fmt body; nBlockAlign is channels x whole bytes per sample unless
// given.
inline Bytes wav_fmt(uint16_t tag, uint16_t channels, uint32_t rate_hz, uint16_t bits,
                     int block_align = -1) {
  const uint16_t block = static_cast<uint16_t>(
      block_align >= 0 ? block_align : channels * ((bits + 7) / 8));
  return Bytes().le(tag, 2).le(channels, 2).le(rate_hz, 4).le(uint64_t{rate_hz} * block, 4)
      .le(block, 2).le(bits, 2);
}

// A 40-byte WAVE_FORMAT_EXTENSIBLE fmt body whose GUID is built on the base GUID.
inline Bytes wav_fmt_extensible(uint16_t sub_format, uint16_t channels, uint32_t rate_hz,
                                uint16_t bits) {
  return wav_fmt(0xFFFE, channels, rate_hz, bits).le(22, 2).le(bits, 2).le(0, 4)
      .le(sub_format, 2).le(0, 2).be(0x00001000800000AAull, 8).be(0x00389B71, 4);
}

inline Bytes riff_file(const Bytes& chunks, std::string_view id = "RIFF") {
  return Bytes().text(id).le(4 + chunks.size(), 4).text("WAVE").append(chunks);
}

// A COMM body; AIFF-C adds the compression type and an empty compressionName when asked.
inline Bytes aiff_comm(uint16_t channels, uint32_t frames, uint16_t bits, uint32_t rate_hz,
                       std::string_view compression = {}) {
  Bytes b;
  b.be(channels, 2).be(frames, 4).be(bits, 2).extended_integer(rate_hz);
  if (!compression.empty()) b.text(compression).be(0, 2);  // count 0 plus the pad to even
  return b;
}

inline Bytes ssnd(const Bytes& frames, uint32_t offset = 0) {
  return Bytes().be(offset, 4).be(0, 4).fill(offset).append(frames);
}

inline Bytes form_file(const Bytes& chunks, std::string_view form = "AIFF") {
  return Bytes().text("FORM").be(4 + chunks.size(), 4).text(form).append(chunks);
}

// The display of the error, or "ok" when decoding succeeded.
inline std::string outcome(std::span<const uint8_t> file) {
  auto r = decode_audio(file);
  return r ? std::string("ok") : r.error().display();
}

}  // namespace murello::testing
