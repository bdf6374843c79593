// FlacSink: where decoded FLAC blocks go. It appends them as interleaved floats to the
// caller's buffer and, when the stream carries an MD5 signature, stages them for the MD5
// check.
//
// Conventions: blocks arrive planar (one span per channel, equal lengths in frames);
// integer samples of `bits_per_sample` become s / 2^(bits_per_sample - 1). The MD5 input
// is each sample's low ceil(bits / 8) bytes, little-endian, interleaved, staged through
// a fixed 4096-byte buffer so that MD5 runs on large pieces. A long stream is hashed on a
// thread of its own while the decoder goes on.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "audiofile/stream_md5.hpp"

namespace murello {

class FlacSink {
 public:
  // `md5_frames`: the frames the MD5 will cover as declared (0 when unknown); a long
  // stream is hashed in the background.
  FlacSink(uint16_t channels, uint16_t bits_per_sample, bool with_md5, uint64_t md5_frames);

  // `channels` spans of equal length, appended to `out` as interleaved floats.
  void append(std::span<const std::span<const int64_t>> block, std::vector<float>& out);

  // The MD5 of everything appended so far; call once at the end.
  std::array<uint8_t, 16> finish_md5();

 private:
  void append_floats(std::span<const std::span<const int64_t>> block, std::vector<float>& out);
  void stage(std::span<const std::span<const int64_t>> block);
  void hash_staged();

  static constexpr size_t kStagingBytes = 4096;

  uint16_t channels_;
  unsigned sample_bytes_;
  float scale_;
  bool with_md5_;
  StreamMd5 md5_;
  std::array<uint8_t, kStagingBytes + 4> staging_;  // + slack for 4-byte stores
  size_t staged_bytes_ = 0;
};

}  // namespace murello
