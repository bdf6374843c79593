// Where an uncompressed file (WAV, RF64, AIFF, AIFF-C) keeps its frames: what its header
// declares, and what a file of a given length really holds.
//
// Conventions: positions and sizes are bytes from the start of the file; frames are
// samples per channel. The header parsers (parse_wav_header, parse_aiff_header) read only
// the header bytes and need not know the file's length, so that a reader taking the file
// a piece at a time can use them; locate_samples then settles the frames against the
// length. Writers streaming to a pipe, or stopped before they went back to their header,
// leave placeholder sizes: the parsers mark such an extent to_end, and it holds the whole
// frames up to the end of the file.
#pragma once

#include <cstdint>
#include <optional>

#include "audiofile/audio.hpp"
#include "audiofile/error.hpp"
#include "audiofile/sample.hpp"
#include "util/result.hpp"

namespace murello {

struct SampleExtent {
  uint64_t chunk_pos = 0;    // header of the chunk that holds the frames (data, SSND)
  uint64_t chunk_bytes = 0;  // its declared body size; unused when to_end
  uint64_t frames_pos = 0;   // the first frame
  uint64_t frame_bytes = 1;  // stored bytes of one frame, all channels
  // The frames declared. Absent: exactly chunk_bytes / frame_bytes, and a partial frame
  // is an error. With to_end: at most this many.
  std::optional<uint64_t> frames;
  bool to_end = false;  // the frames run to the end of the file
};

// What the header bytes of an uncompressed file say.
struct SampleHeader {
  AudioHeader audio;  // frames unset: they depend on the file's length
  SampleLayout layout;
  SampleExtent extent;
};

// Settles a parsed header against a file of file_bytes bytes: the header with the frames
// really there, and the bytes that hold them. An extent that is not to_end must lie inside
// the file: a chunk running past the end is Truncated (needed: its declared size;
// available: the bytes after its header), and so is a chunk with room for fewer than the
// declared frames (needed: their bytes; available: the room). A to_end extent holds the
// whole frames that follow frames_pos; Truncated only when the file ends before that
// position.
Result<SampleRegion, DecodeError> locate_samples(const SampleHeader& header, uint64_t file_bytes);

}  // namespace murello
