#include "audiofile/flac/subframe_reader.hpp"

#include <algorithm>
#include <array>

#include "audiofile/flac/residual_reader.hpp"
#include "audiofile/flac/restore.hpp"

namespace murello {
namespace {

constexpr unsigned kConstant = 0;
constexpr unsigned kVerbatim = 1;
constexpr unsigned kFixedFirst = 8, kFixedLast = 12;
constexpr unsigned kLpcFirst = 32;
constexpr unsigned kMaxLpcOrder = 32;

constexpr const char* kOutOfDepth = "predicted samples within the subframe's bit depth";

Result<void, DecodeError> read_values(BitReader& reader, unsigned bits, std::span<int64_t> out) {
  for (int64_t& v : out)
    if (!reader.read_signed(bits, v)) return reader.truncation();
  return {};
}

Result<void, DecodeError> read_fixed(BitReader& reader, unsigned order, unsigned bits,
                                     std::span<int64_t> samples) {
  if (auto warm_up = read_values(reader, bits, samples.first(order)); !warm_up) return warm_up;
  if (auto residual = read_flac_residual(reader, order, samples); !residual) return residual;
  if (!restore_fixed(samples, order, bits)) return reader.malformed(kOutOfDepth);
  return {};
}

Result<void, DecodeError> read_lpc(BitReader& reader, unsigned order, unsigned bits,
                                   std::span<int64_t> samples) {
  if (auto warm_up = read_values(reader, bits, samples.first(order)); !warm_up) return warm_up;
  uint64_t precision_code;
  int64_t shift;
  if (!reader.read(4, precision_code)) return reader.truncation();
  if (precision_code == 15)
    return reader.malformed("a coefficient precision other than the forbidden 0b1111");
  if (!reader.read_signed(5, shift)) return reader.truncation();
  if (shift < 0) return reader.malformed("a non-negative predictor right shift");
  std::array<int64_t, kMaxLpcOrder> coefficients;
  std::span<int64_t> used(coefficients.data(), order);
  if (auto read = read_values(reader, unsigned(precision_code) + 1, used); !read) return read;
  if (auto residual = read_flac_residual(reader, order, samples); !residual) return residual;
  if (!restore_lpc(samples, used, unsigned(shift), bits)) return reader.malformed(kOutOfDepth);
  return {};
}

// Decodes the body of a subframe of `type` at `bits` (wasted bits already removed).
Result<void, DecodeError> read_body(BitReader& reader, unsigned type, unsigned bits,
                                    std::span<int64_t> samples) {
  if (type == kConstant) {
    int64_t value;
    if (!reader.read_signed(bits, value)) return reader.truncation();
    std::fill(samples.begin(), samples.end(), value);
    return {};
  }
  if (type == kVerbatim) return read_values(reader, bits, samples);
  if (type >= kFixedFirst && type <= kFixedLast)
    return read_fixed(reader, type - kFixedFirst, bits, samples);
  return read_lpc(reader, type - kLpcFirst + 1, bits, samples);
}

bool defined_type(unsigned type) {
  return type == kConstant || type == kVerbatim || (type >= kFixedFirst && type <= kFixedLast) ||
         type >= kLpcFirst;
}

unsigned predictor_order(unsigned type) {
  if (type >= kLpcFirst) return type - kLpcFirst + 1;
  if (type >= kFixedFirst) return type - kFixedFirst;
  return 0;
}

}  // namespace

Result<void, DecodeError> read_flac_subframe(BitReader& reader, unsigned bits,
                                             std::span<int64_t> samples) {
  uint64_t header;
  if (!reader.read(8, header)) return reader.truncation();
  // Rules on the type are reported where the header ends, though checked later.
  const uint64_t header_end = reader.byte_position();
  if (header & 0x80) return reader.malformed("a cleared leading bit in the subframe header");
  const unsigned type = unsigned(header >> 1) & 0x3F;
  unsigned wasted = 0;
  if (header & 1) {
    uint64_t zeros;
    if (!reader.read_unary(zeros)) return reader.truncation();
    if (zeros + 1 >= bits) return reader.malformed("fewer wasted bits than the subframe's bit depth");
    wasted = unsigned(zeros) + 1;
  }
  if (!defined_type(type)) return DecodeError::malformed(header_end, "a defined subframe type");
  if (predictor_order(type) > samples.size())
    return DecodeError::malformed(header_end, "a predictor order no larger than the block size");

  if (auto body = read_body(reader, type, bits - wasted, samples); !body) return body;
  if (wasted > 0)
    for (int64_t& v : samples) v = int64_t(uint64_t(v) << wasted);
  return {};
}

}  // namespace murello
