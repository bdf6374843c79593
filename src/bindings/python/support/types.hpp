// Creating the module's classes.
#pragma once

#include <Python.h>

#include <cstring>

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

// The named-tuple repr of the records, "FileInfo(container='WAV', ...)": the structure
// sequence's own with the module path taken off the front.
inline reprfunc g_structseq_repr = nullptr;

inline PyObject* record_repr(PyObject* self) {
  PyObject* full = g_structseq_repr(self);
  if (full == nullptr) return nullptr;
  const char* name = Py_TYPE(self)->tp_name;
  const char* dot = strrchr(name, '.');
  const Py_ssize_t prefix = dot == nullptr ? 0 : dot + 1 - name;
  PyObject* shortened = PyUnicode_Substring(full, prefix, PyUnicode_GET_LENGTH(full));
  Py_DECREF(full);
  return shortened;
}

// Creates the tuple record class of `desc` (a structure sequence: a tuple whose fields
// also have names) and keeps it in `*cache` as create_cached_type does.
inline PyObject* create_record_type(PyStructSequence_Desc* desc, PyTypeObject** cache) {
  PyTypeObject* type = PyStructSequence_NewType(desc);
  if (type == nullptr) return nullptr;
  if (g_structseq_repr == nullptr) g_structseq_repr = type->tp_repr;
  type->tp_repr = record_repr;
  PyType_Modified(type);
  Py_XSETREF(*reinterpret_cast<PyObject**>(cache), Py_NewRef(reinterpret_cast<PyObject*>(type)));
  return reinterpret_cast<PyObject*>(type);
}

}  // namespace murello::py
