// The read-only record classes VersionInfo, MicrophoneInfo and SpeakerInfo.
//
// They cannot be constructed from Python; the static methods below create them. Their
// types are created when the module executes and kept process-wide.
#pragma once

#include <Python.h>

#include "devices/device.hpp"

namespace murello::py {

// Each creates its record class for `module`: a new reference, or nullptr with an
// exception set.
PyObject* create_version_info_type(PyObject* module);
PyObject* create_microphone_info_type(PyObject* module);
PyObject* create_speaker_info_type(PyObject* module);

// `MicrophoneBridge.version()`.
PyObject* version_info(PyObject*, PyObject*);

// `devices()` of one direction: a list of MicrophoneInfo or SpeakerInfo.
PyObject* device_list(Direction direction);

}  // namespace murello::py
