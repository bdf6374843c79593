// The process an object belongs to. After fork() a child holds copies of its parent's
// objects but not the threads they started, and it shares their devices and loaded
// runtimes with the parent: such an object records the process that made it and
// refuses to work anywhere else (the ONNX Runtime environment, the live bridges).
//
// Conventions: process ids are unsigned 32-bit, as the errors that name them show them.
#pragma once

#include <cstdint>

namespace murello {

uint32_t current_process_id();

// Whether `owner_pid` is the calling process.
inline bool in_process(uint32_t owner_pid) { return owner_pid == current_process_id(); }

}  // namespace murello
