// The module function _convert(path, output, ...): an audio file conditioned and written
// to another, a step at a time, as FileBridge.save writes it.
#pragma once

#include <Python.h>

namespace murello::py {

// Adds _convert to `module` (not to __all__: the command line and murello's batch work
// call it). Returns -1 with an exception set on failure.
int add_convert_function(PyObject* module);

}  // namespace murello::py
