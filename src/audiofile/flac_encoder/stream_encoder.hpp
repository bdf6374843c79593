// FlacStreamEncoder: a native FLAC stream encoded block by block as samples arrive, for a
// writer that never holds the whole recording (a recorder); encode_flac is its one-call
// form and writes the same bytes.
//
// Conventions: samples are float32, frame-interleaved (channel 0 first), full scale
// -1.0..+1.0, quantised as encode_flac says; counts are samples unless named frames
// (samples per channel). The stream starts with "fLaC" and a STREAMINFO block whose
// totals are not known yet (0, which the format reads as "unknown"); finish() returns the
// completed block for the writer to put back at kStreamInfoOffset.
//
// Threads: one thread at a time (the checksum of a long stream is hashed on a private
// thread of StreamMd5's).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audiofile/error.hpp"
#include "audiofile/flac_encoder/encoder.hpp"
#include "audiofile/flac_encoder/frame.hpp"
#include "audiofile/stream_md5.hpp"
#include "util/result.hpp"

namespace murello {

class FlacStreamEncoder {
 public:
  static constexpr size_t kStreamInfoOffset = 8;  // after "fLaC" and the block header
  static constexpr size_t kStreamInfoBytes = 34;
  using StreamInfo = std::array<uint8_t, kStreamInfoBytes>;

  // Errors as encode_flac's for the request: UnsupportedChannelCount; Malformed at byte 18
  // (sample rate); UnsupportedBitDepth; Malformed at byte 0 (level). `expected_samples`
  // is the stream's length where it is known (it only decides where the checksum runs).
  static Result<FlacStreamEncoder, DecodeError> create(const FlacEncodeRequest& request,
                                                      uint64_t expected_samples = 0);

  // Appends "fLaC" and the provisional STREAMINFO block.
  void begin(std::vector<uint8_t>& out) const;

  // Takes whole frames of samples and appends every FLAC frame they complete.
  void push(std::span<const float> samples, std::vector<uint8_t>& out);

  // Appends the last, partial block's frame and returns the completed STREAMINFO: its
  // total (0 from 2^36 frames on, as the field cannot hold more), frame sizes and MD5.
  // Call once, after which the encoder takes nothing more.
  StreamInfo finish(std::vector<uint8_t>& out);

  // A STREAMINFO declaring `frames` with neither checksum nor frame sizes, for a stream
  // cut short after that many frames.
  StreamInfo declared_only(uint64_t frames) const;

  // Sample frames in the FLAC frames appended so far.
  uint64_t frames_encoded() const { return frames_encoded_; }

 private:
  FlacStreamEncoder(const FlacEncodeRequest& request, uint64_t expected_samples);
  void encode_block(std::vector<uint8_t>& out);

  FlacEncodeRequest request_;
  uint32_t block_frames_;
  std::unique_ptr<FlacFrameEncoder> frames_;
  std::unique_ptr<StreamMd5> md5_;
  std::vector<int32_t> block_;  // the block being filled, quantised
  size_t filled_ = 0;           // samples of block_ filled
  std::vector<uint8_t> staging_;
  uint64_t frame_number_ = 0;
  uint64_t frames_encoded_ = 0;
  uint32_t min_frame_bytes_ = UINT32_MAX;
  uint32_t max_frame_bytes_ = 0;
};

}  // namespace murello
