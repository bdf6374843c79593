// load_file: a whole audio file read, conditioned and delivered as one buffer, through
// the same file source that reads it chunk by chunk.
//
// Conventions: samples are interleaved 32-bit floats; rates are hz.
//
// Threads: no shared state; safe from any thread. Nothing here touches Python.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "core/config.hpp"
#include "core/error.hpp"
#include "files/file_io.hpp"
#include "util/result.hpp"

namespace murello {

struct LoadRequest {
  SourceConfig config;         // has passed check_format and check_file_options
  bool file_rate = false;      // deliver at the file's own rate, not config.sample_rate
  bool file_channels = false;  // deliver the channel map's length, else the file's count
  // Where to start and how much to read, in seconds of the file: frames
  // [round(offset x rate), that + round(duration x rate)), clipped to the file. Only
  // those are read (FLAC finds its start by frame headers); the MD5 signature of a FLAC
  // file read in part is not checked. Both at least 0.
  std::optional<double> offset_s;
  std::optional<double> duration_s;
};

struct LoadedAudio {
  std::vector<float> samples;  // interleaved at `channels`
  uint16_t channels = 1;
  uint32_t sample_rate_hz = 0;
};

// Opens the file as FileSource::open does (its errors, in its order) with the rate and
// channel count filled from the decoded file where the request leaves them to it, and
// reads the source to its end (or the span the request names, as if it were the whole
// file). A resampled result is aligned with the file and exactly
// as long as it (OutputAlignment), not delayed by the resampler as FileSource delivers it.
Result<LoadedAudio, CoreError> load_file(FileInput input, LoadRequest request);

}  // namespace murello
