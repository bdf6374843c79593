#include "audiofile/sample_region.hpp"

#include <algorithm>

namespace murello {
namespace {

constexpr uint64_t kChunkHeaderBytes = 8;

uint64_t bytes_after(uint64_t pos, uint64_t file_bytes) {
  return file_bytes > pos ? file_bytes - pos : 0;
}

Result<uint64_t, DecodeError> frames_to_end(const SampleExtent& extent, uint64_t file_bytes) {
  if (extent.frames_pos > file_bytes) {
    const uint64_t body = extent.chunk_pos + kChunkHeaderBytes;
    return DecodeError::truncated(extent.frames_pos - body, bytes_after(body, file_bytes));
  }
  const uint64_t whole = (file_bytes - extent.frames_pos) / extent.frame_bytes;
  return extent.frames ? std::min(*extent.frames, whole) : whole;
}

Result<uint64_t, DecodeError> declared_frames(const SampleExtent& extent, uint64_t file_bytes) {
  const uint64_t body = extent.chunk_pos + kChunkHeaderBytes;
  const uint64_t available = bytes_after(body, file_bytes);
  if (extent.chunk_bytes > available) return DecodeError::truncated(extent.chunk_bytes, available);
  // The parsers place frames_pos inside the chunk.
  const uint64_t room = extent.chunk_bytes - (extent.frames_pos - body);
  if (!extent.frames) {
    if (room % extent.frame_bytes != 0) {
      return DecodeError::truncated(extent.frame_bytes, room % extent.frame_bytes);
    }
    return room / extent.frame_bytes;
  }
  // Declared frames come from a 32-bit count and frames of at most 2^16 * 8 bytes.
  const uint64_t needed = *extent.frames * extent.frame_bytes;
  if (needed > room) return DecodeError::truncated(needed, room);
  return *extent.frames;
}

}  // namespace

Result<SampleRegion, DecodeError> locate_samples(const SampleHeader& header,
                                                 uint64_t file_bytes) {
  const SampleExtent& extent = header.extent;
  auto frames = extent.to_end ? frames_to_end(extent, file_bytes)
                              : declared_frames(extent, file_bytes);
  if (!frames) return std::move(frames).error();
  SampleRegion region;
  region.header = header.audio;
  region.header.frames = *frames;
  region.layout = header.layout;
  region.offset_bytes = extent.frames_pos;
  region.size_bytes = *frames * extent.frame_bytes;
  return region;
}

}  // namespace murello
