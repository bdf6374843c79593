// The header facts of an audio file on disk, read without decoding its samples.
//
// Conventions: rates are hz, lengths frames; texts are what the command line and the
// module show ("WAV", "16-bit PCM").
#pragma once

#include <filesystem>
#include <string>

#include "audiofile/audio.hpp"
#include "core/error.hpp"
#include "util/result.hpp"

namespace murello {

// Reads as much of `path` as the header needs and checks it as FileSource::open does
// before it decodes: FileReadFailed; AudioFormatUnsupported, AudioFileMalformed or
// AudioFileTruncated with the decoder's text. The rate is reported as declared, not
// range-checked. FLAC frames are not read, so their errors show only when decoding.
Result<AudioHeader, CoreError> read_file_header(const std::filesystem::path& path);

// "WAV", "RF64", "AIFF", "AIFF-C" or "FLAC".
const char* container_name(ContainerKind container);

// The stored sample format, e.g. "16-bit PCM", "24-bit PCM big-endian",
// "32-bit IEEE float", "8-bit unsigned PCM", "8-bit A-law". The byte order is named for
// the AIFF family, which stores either; WAV is always little-endian and FLAC has none.
std::string sample_format_text(const AudioHeader& header);

}  // namespace murello
