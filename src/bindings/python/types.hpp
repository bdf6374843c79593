// Creating the module's classes.
#pragma once

#include <Python.h>

namespace murello::py {

// Creates the class of `type_spec` for `module` and keeps a process-wide reference to it
// in `*cache` (replacing one from an earlier import), for code that makes instances
// without the module at hand. Returns a new reference, or nullptr with an exception set.
inline PyObject* create_cached_type(PyObject* module, PyType_Spec* type_spec,
                                    PyTypeObject** cache) {
  PyObject* type = PyType_FromModuleAndSpec(module, type_spec, nullptr);
  if (type == nullptr) return nullptr;
  Py_XSETREF(*reinterpret_cast<PyObject**>(cache), Py_NewRef(type));
  return type;
}

}  // namespace murello::py
