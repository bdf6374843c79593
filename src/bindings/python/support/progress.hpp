// _Progress(): how far a long offline call has come, read from another thread while the
// call runs without the interpreter lock, and a way to stop it early (stop()). The
// command line shows it; it is not part of the public API.
#pragma once

#include <Python.h>

#include "core/work_progress.hpp"

namespace murello::py {

// Adds the _Progress class to `module` (not to __all__). Returns -1 with an exception set
// on failure.
int add_progress_type(PyObject* module);

// The progress inside a _Progress object; nullptr for None. -1 with TypeError set for
// anything else.
int to_progress(PyObject* value, WorkProgress** out);

}  // namespace murello::py
