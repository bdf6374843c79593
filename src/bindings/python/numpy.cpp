#define MURELLO_NUMPY_API_OWNER
#include "bindings/python/numpy.hpp"

#include "bindings/python/pyref.hpp"

namespace murello::py {

int require_numpy() {
  if (PyArray_API != nullptr) return 0;
  if (_import_array() == 0) return 0;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyErr_SetString(PyExc_ImportError,
                  "numpy is not installed. Install with: pip install murello[numpy]");
  PyObject *new_type, *new_value, *new_traceback;
  PyErr_Fetch(&new_type, &new_value, &new_traceback);
  PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
  if (value != nullptr) PyException_SetCause(new_value, value);  // steals value
  PyErr_Restore(new_type, new_value, new_traceback);
  return -1;
}

bool numpy_loaded() {
  if (PyArray_API != nullptr) return true;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  return PyDict_GetItemString(modules, "numpy") != nullptr;
}

}  // namespace murello::py
