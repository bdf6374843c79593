// The module function _load(path, ...): a whole audio file as one array, read and
// conditioned by the file source behind FileBridge.open.
#pragma once

#include <Python.h>

namespace murello::py {

// Adds _load to `module` (not to __all__: murello.load is its public face). Returns -1
// with an exception set on failure.
int add_load_function(PyObject* module);

}  // namespace murello::py
