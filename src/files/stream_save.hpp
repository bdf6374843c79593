// save_stream: what a file stream delivers, written to a file as FileSource::save writes
// a source's delivery, in memory bounded by the stream's step rather than the recording.
// What murello's conversions of files run on.
//
// Threads: no shared state; safe from any thread. Nothing here touches Python.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "core/error.hpp"
#include "core/work_progress.hpp"
#include "files/file_stream.hpp"
#include "core/sanitise.hpp"
#include "files/save_format.hpp"
#include "util/result.hpp"

namespace murello {

// Writes every step of `stream` to `path` (SavedFile) and returns the samples sanitising
// replaced. `path` is replaced only once the whole stream is written: an error of the
// stream, of the container or of the writing leaves any earlier file untouched and
// nothing partial. With `progress`, every step adds its delivered frames to it; a stop
// asked for abandons the file after the step in hand and returns nothing.
Result<std::optional<SaveCounts>, CoreError> save_stream(FileStream& stream,
                                                         const std::filesystem::path& path,
                                                         Container container,
                                                         uint8_t compression,
                                                         WorkProgress* progress = nullptr);

}  // namespace murello
