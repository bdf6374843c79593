// Idle model sessions, kept for the next load of the same model file.
//
// Building a session costs tens of milliseconds (the model is parsed, its graph optimised
// and its kernels made): as much as analysing seconds of audio, so a process that
// analyses file after file would spend much of its time there. A session its owner drops
// is kept here and handed to the next load of the same file, unchanged since (the same
// resolved path, size and modification time). Sessions carry nothing from run to run
// (the models' state travels in their inputs), so a reused one computes what a new one
// would. At most `kIdleSessionsPerModel` idle sessions are kept per file; the rest are
// released.
//
// Threads: any thread; one mutex guards the table. Like the runtime, the table lives as
// long as the process and is never torn down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "onnx/api.hpp"

namespace murello {

inline constexpr size_t kIdleSessionsPerModel = 4;

// One state of one model file.
struct ModelFileKey {
  std::string path;  // resolved
  uintmax_t bytes = 0;
  int64_t modified = 0;  // the file clock's ticks

  bool operator==(const ModelFileKey&) const = default;
};

// The key of `model` as it is now, or nothing when the file cannot be examined (its load
// then fails and reports why).
std::optional<ModelFileKey> model_file_key(const std::filesystem::path& model);

// An idle session of `key`'s file, now the caller's; null when none is kept.
OrtSession* take_idle_session(const ModelFileKey& key);

// Keeps `session` for a later load of `key`'s file. False when enough are kept already:
// the session is still the caller's to release.
bool keep_idle_session(const ModelFileKey& key, OrtSession* session);

}  // namespace murello
