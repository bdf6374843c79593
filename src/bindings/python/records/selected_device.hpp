// The module function _selected_device(direction, device=None): which device a bridge
// given `device` would open now, and the rate and channel count it opens by default.
#pragma once

#include <Python.h>

namespace murello::py {

// Adds _selected_device to `module` (not to __all__: murello.play, murello.record and
// the command line use it). Returns -1 with an exception set on failure.
int add_selected_device_function(PyObject* module);

}  // namespace murello::py
