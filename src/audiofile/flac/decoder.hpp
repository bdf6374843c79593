// Native FLAC stream decoding.
//
// Conventions: the whole file is one byte buffer; samples come back as interleaved
// float32 frames, each integer sample s scaled by 2^-(bits per sample - 1), at the rate
// and channel count STREAMINFO declares. The decoder is strict: the first violated rule
// is returned as a DecodeError whose offset counts bytes from the start of the file, and
// no partial audio is returned. Safe on hostile input. Any thread; no shared state.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <span>
#include <vector>

#include "audiofile/audio.hpp"
#include "audiofile/error.hpp"
#include "audiofile/flac/header_reader.hpp"
#include "audiofile/flac/metadata_reader.hpp"
#include "audiofile/flac/sink.hpp"
#include "util/result.hpp"

namespace murello {

// One native FLAC stream decoded a frame at a time, so that a long file need not be held
// decoded: each frame is checked as it comes (both CRCs, its consistency with
// STREAMINFO), the declared total and the MD5 signature once the frames are out.
// Working storage is sized once from STREAMINFO. `file` must outlive the decoder; the
// bytes before position() are not read again.
class FlacFrameDecoder {
 public:
  // Reads the metadata blocks (the errors of read_flac_header).
  static Result<std::unique_ptr<FlacFrameDecoder>, DecodeError> open(
      std::span<const uint8_t> file);

  const FlacStreamInfo& info() const { return info_; }

  // Appends the next frame's samples to `out`; false, appending nothing, once the
  // stream holds no more frames (or the declared total is reached).
  Result<bool, DecodeError> next(std::vector<float>& out);

  // The end-of-stream checks, once next() said false: the declared total, then the MD5
  // signature over everything decoded. Call once. After a seek() there is nothing whole
  // to check them against, and none is made.
  Result<void, DecodeError> finish();

  // Moves a fresh decoder to the frame holding sample `target` (per channel) and returns
  // that frame's first sample. The frames before it are found by their headers alone
  // (sync code, CRC-8, the number that follows the previous frame's) and not decoded.
  // A target past the last frame found leaves the decoder at that frame. Fails as the
  // first frame header fails.
  Result<uint64_t, DecodeError> seek(uint64_t target);

  // The byte where the next frame starts.
  size_t position() const { return at_; }

 private:
  FlacFrameDecoder(std::span<const uint8_t> file, const FlacMetadata& metadata);
  Result<size_t, DecodeError> decode_frame(size_t start, std::vector<float>& out);
  Result<void, DecodeError> check_consistency(const FlacFrameFields& header,
                                              size_t start) const;
  Result<void, DecodeError> check_totals() const;
  // The first frame after `from` whose header is whole and carries `expected`.
  std::optional<std::pair<size_t, FlacFrameFields>> find_frame(size_t from, bool variable,
                                                               uint64_t expected) const;

  std::span<const uint8_t> file_;
  FlacStreamInfo info_;
  size_t at_;
  size_t last_frame_start_;
  std::vector<int64_t> planar_;
  FlacSink sink_;
  bool seen_frame_ = false;
  bool variable_blocking_ = false;
  bool after_short_frame_ = false;
  uint64_t decoded_frames_ = 0;
  bool partial_ = false;  // seek() skipped frames: the end checks cannot be made
};

// Decodes a whole native FLAC stream (starting with "fLaC") held in memory, checking
// both CRCs of every frame, the declared total sample count and the MD5 signature.
Result<DecodedAudio, DecodeError> decode_flac(std::span<const uint8_t> file);

// What the metadata blocks tell about the audio, checked as decode_flac checks them;
// no frame is read, so errors in the frames go unseen.
Result<AudioHeader, DecodeError> read_flac_header(std::span<const uint8_t> file);

}  // namespace murello
