// ONNX Runtime, loaded at run time: the process-wide runtime and its fork guard.
//
// Conventions: the library is found and opened with the system's dynamic loader, never
// linked; once loaded it stays loaded, with one environment named "murello", for the life
// of the process. Process ids are unsigned 32-bit. Environment variables read at the
// first successful `ort_init`: `ORT_DYLIB_PATH` (library file) and `MURELLO_ORT_TELEMETRY`
// (telemetry events only when exactly "1").
//
// Threads: `ort_init` may be called from any thread; concurrent first calls wait for the
// one that loads. After a failure nothing is kept, so a later call tries again, possibly
// with other paths. The runtime record is immutable once published.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "onnx/api.hpp"
#include "util/result.hpp"

namespace murello {

inline constexpr const char* kOrtLibraryName = "libonnxruntime.so";
inline constexpr const char* kOrtEnvironmentName = "murello";

struct OrtRuntime {
  OrtFunctions api;
  OrtEnv* env;                    // never released
  uint32_t init_pid;              // process that loaded the runtime
  bool telemetry;                 // telemetry events enabled
  std::string version;            // the library's release, e.g. "1.32.0"
  std::filesystem::path library;  // the path handed to the loader
};

// Loads the runtime on the first successful call, from (in this order) `library_path`,
// `ORT_DYLIB_PATH` when set and not empty, or the loader's own search for
// "libonnxruntime.so". Later calls ignore `library_path` and fail with ForkAfterOrtInit
// when called in another process than the one that loaded. Errors: OrtPathInvalid,
// OrtLoadFailed, OrtInitFailed, ForkAfterOrtInit.
Result<const OrtRuntime*, CoreError> ort_init(
    const std::optional<std::filesystem::path>& library_path);

// ForkAfterOrtInit (loading pid, current pid) when the runtime was loaded by another
// process; success when it was loaded here or not at all.
Result<void, CoreError> ort_check_process();

// The loaded runtime, or null before the first successful `ort_init`.
const OrtRuntime* ort_runtime();

// Whether a `MURELLO_ORT_TELEMETRY` value (null when unset) enables telemetry.
bool ort_telemetry_requested(const char* value);

}  // namespace murello
