// _RecordingFile: the file `murello record` writes while it records (private to the
// package's command line).
#pragma once

#include <Python.h>

namespace murello::py {

// Adds the class to `module` (not to __all__). Returns -1 with an exception set on
// failure.
int add_recording_file_type(PyObject* module);

}  // namespace murello::py
