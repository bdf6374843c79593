// analyze_file: whole-recording voice analysis of an audio file read through a step at a
// time (FileStream), so that its memory does not grow with the recording.
//
// Threads: no shared state; safe from any thread. Nothing here touches Python.
#pragma once

#include <filesystem>

#include "core/config.hpp"
#include "core/error.hpp"
#include "core/work_progress.hpp"
#include "files/file.hpp"
#include "util/result.hpp"

namespace murello {

// What FileSource::open(path, config) followed by analyze() returns, with the same
// refusals: the errors of opening (those of the samples when their step is reached),
// then VadNotConfigured without the model detector, then the analyzer's. `config` has
// passed check_format and check_file_options. With `progress`, every step adds its
// frames to it, and a stop asked for ends the analysis after the step in hand with
// what was found until then.
Result<Analysis, CoreError> analyze_file(const std::filesystem::path& path,
                                               const SourceConfig& config,
                                               WorkProgress* progress = nullptr);

}  // namespace murello
