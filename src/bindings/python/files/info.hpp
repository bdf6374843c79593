// The module function info(path) and its FileInfo record.
#pragma once

#include <Python.h>

namespace murello::py {

// The FileInfo class for `module`, kept for info() to make records; a new reference, or
// nullptr with an exception set. Call before info() is used.
PyObject* create_file_info_type(PyObject* module);

// The function object info, bound to `module`; a new reference or nullptr.
PyObject* create_info_function(PyObject* module);

}  // namespace murello::py
