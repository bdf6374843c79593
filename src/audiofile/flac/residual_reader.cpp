#include "audiofile/flac/residual_reader.hpp"

#include <algorithm>

namespace murello {
namespace {

// A partition whose parameter is the escape stores raw signed values of a given width.
Result<void, DecodeError> read_escaped_partition(BitReader& reader, std::span<int64_t> out) {
  uint64_t width;
  if (!reader.read(5, width)) return reader.truncation();
  if (width == 0) {
    std::fill(out.begin(), out.end(), 0);
    return {};
  }
  for (int64_t& v : out)
    if (!reader.read_signed(unsigned(width), v)) return reader.truncation();
  return {};
}

}  // namespace

Result<void, DecodeError> read_flac_residual(BitReader& reader, unsigned order,
                                             std::span<int64_t> samples) {
  uint64_t method, partition_order;
  if (!reader.read(2, method)) return reader.truncation();
  if (method > 1) return reader.malformed("a defined residual coding method");
  if (!reader.read(4, partition_order)) return reader.truncation();
  const size_t block = samples.size();
  const size_t partition_frames = block >> partition_order;
  if ((partition_frames << partition_order) != block)
    return reader.malformed("a block size divisible by the partition count");
  if (partition_frames <= order) return reader.malformed("a partition longer than the predictor order");

  const unsigned parameter_bits = method == 0 ? 4 : 5;
  const uint64_t escape = method == 0 ? 15 : 31;
  size_t at = order;
  for (size_t end = partition_frames; end <= block; end += partition_frames) {
    std::span<int64_t> out = samples.subspan(at, end - at);
    at = end;
    uint64_t parameter;
    if (!reader.read(parameter_bits, parameter)) return reader.truncation();
    if (parameter == escape) {
      if (auto escaped = read_escaped_partition(reader, out); !escaped) return escaped;
      continue;
    }
    switch (reader.read_rice(unsigned(parameter), out.data(), out.size())) {
      case BitReader::RiceStatus::Ok: break;
      case BitReader::RiceStatus::Truncated: return reader.truncation();
      case BitReader::RiceStatus::OutOfRange:
        return reader.malformed("a residual within the format's 32-bit range");
    }
  }
  return {};
}

}  // namespace murello
