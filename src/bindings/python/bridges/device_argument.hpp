// The `device` argument of the bridges, as a device selection form (devices/selection.hpp).
#pragma once

#include <Python.h>

#include "devices/selection.hpp"

namespace murello::py {

// None: the default device; a non-negative integer (anything with __index__): an index;
// a str: a name query; an instance of murello._classes.Device (imported only when the
// value is none of the others): its `id`, which must be a str (else TypeError). Anything
// else, a negative integer included, is ValueError "device must be None, int, str, or
// Device". Returns -1 with the exception set.
int device_argument_from_python(PyObject* value, DeviceArgument* out);

}  // namespace murello::py
