// The three bridge classes. Each create_* function builds the class for `module` and
// returns a new reference, or nullptr with an exception set.
#pragma once

#include <Python.h>

namespace murello::py {

PyObject* create_microphone_bridge_type(PyObject* module);
PyObject* create_speaker_bridge_type(PyObject* module);
PyObject* create_file_bridge_type(PyObject* module);

}  // namespace murello::py
