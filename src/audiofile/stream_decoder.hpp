// AudioStreamDecoder: a WAV, RF64, AIFF, AIFF-C or native FLAC file decoded a piece at
// a time, so that a recording longer than memory can be read through.
//
// Conventions: `file` holds the whole file's bytes and must outlive the decoder; it is
// typically a mapping, of which only the pages read are touched, and the bytes before
// consumed_bytes() are not read again. Samples come out as decode_audio gives them:
// frame-interleaved float32, the same values, the same errors. Errors in the samples
// show when their piece is reached; the end-of-stream checks (a FLAC stream's declared
// total and MD5 signature) in finish().
//
// Threads: plain state, one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "audiofile/audio.hpp"
#include "audiofile/error.hpp"
#include "audiofile/flac/decoder.hpp"
#include "util/result.hpp"

namespace murello {

class AudioStreamDecoder {
 public:
  // Recognises the container and reads its header, with decode_audio's errors for them.
  static Result<AudioStreamDecoder, DecodeError> open(std::span<const uint8_t> file);

  const AudioHeader& header() const { return header_; }

  // Appends about `frames` frames to `out` (at least one; FLAC gives whole codec frames,
  // so up to one frame more); false, appending nothing, at the end of the audio.
  Result<bool, DecodeError> next(size_t frames, std::vector<float>& out);

  // The end-of-stream checks, once next() said false. Call once. After a seek() they
  // are not made (a FLAC signature covers the whole stream).
  Result<void, DecodeError> finish();

  // Moves a fresh decoder to frame `frame`: next() starts there. WAV and AIFF go there
  // directly; FLAC finds the codec frame holding it by the frame headers, without
  // decoding the frames before it, and drops its samples before `frame`. A frame past
  // the end leaves nothing to read.
  Result<void, DecodeError> seek(uint64_t frame);

  uint64_t consumed_bytes() const;

 private:
  AudioStreamDecoder(AudioHeader header, SampleRegion region,
                     std::unique_ptr<FlacFrameDecoder> flac, std::span<const uint8_t> file);

  AudioHeader header_;
  SampleRegion region_;  // uncompressed containers
  std::unique_ptr<FlacFrameDecoder> flac_;
  std::span<const uint8_t> file_;
  uint64_t region_read_bytes_ = 0;
  uint64_t skip_frames_ = 0;  // FLAC: decoded frames before the seek's target
};

}  // namespace murello
