// The read-only record classes VersionInfo, MicrophoneInfo and SpeakerInfo.
//
// They cannot be constructed from Python; the static methods below create them. Their
// types are created when the module executes and kept process-wide.
#pragma once

#include <Python.h>

#include "core/device.hpp"

namespace murello::py {

// Creates the three record types; returns them as new references through the outputs.
// Returns -1 with an exception set on failure.
int create_record_types(PyObject* module, PyObject** version_info, PyObject** microphone_info,
                        PyObject** speaker_info);

// `MicrophoneBridge.version()`.
PyObject* version_info(PyObject*, PyObject*);

// `devices()` of one direction: a list of MicrophoneInfo or SpeakerInfo.
PyObject* device_list(Direction direction);

}  // namespace murello::py
