// EchoCanceller: offline echo cancellation of recordings, on the chain's echo stage.
#pragma once

#include <Python.h>

namespace murello::py {

// Builds the class for `module`; a new reference, or nullptr with an exception set.
PyObject* create_echo_canceller_type(PyObject* module);

}  // namespace murello::py
