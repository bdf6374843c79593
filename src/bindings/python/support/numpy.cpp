#define MURELLO_NUMPY_API_OWNER
#include "bindings/python/support/numpy.hpp"

#include "bindings/python/support/pyref.hpp"

namespace murello::py {

int require_numpy() {
  if (PyArray_API != nullptr) return 0;
  if (_import_array() == 0) return 0;
  PyRef cause = fetch_exception();
  PyErr_SetString(PyExc_ImportError,
                  "numpy is not installed. Install with: pip install murello[numpy]");
  PyRef error = fetch_exception();
  if (cause) PyException_SetCause(error.get(), cause.release());
  restore_exception(std::move(error));
  return -1;
}

bool numpy_loaded() {
  if (PyArray_API != nullptr) return true;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  return PyDict_GetItemString(modules, "numpy") != nullptr;
}

}  // namespace murello::py
