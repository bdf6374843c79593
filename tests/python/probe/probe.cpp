// Test-only entry points into the binding's internals.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/errors.hpp"
#include "bindings/python/support/pyref.hpp"
#include "bindings/python/support/samples.hpp"

namespace murello::py {
namespace {

int parse_format(const char* name, SampleFormat* format) {
  std::string text(name);
  if (text == "int16") {
    *format = SampleFormat::Int16;
  } else if (text == "float32") {
    *format = SampleFormat::Float32;
  } else {
    PyErr_SetString(PyExc_ValueError, "format must be 'int16' or 'float32'");
    return -1;
  }
  return 0;
}

PyObject* float_list(const std::vector<float>& values) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// to_python(values, channels, format, as_array)
PyObject* to_python(PyObject*, PyObject* args) {
  PyObject* values;
  unsigned short channels;
  const char* format_name;
  int as_array;
  if (!PyArg_ParseTuple(args, "OHsp", &values, &channels, &format_name, &as_array)) {
    return nullptr;
  }
  SampleFormat format;
  if (parse_format(format_name, &format) < 0) return nullptr;
  std::vector<float> chunk;
  if (buffer_from_python(values, chunk) < 0) return nullptr;
  return samples_to_python(std::move(chunk), channels, format, as_array != 0);
}

// from_python(samples, format, role) with role "write" or "reference"
PyObject* from_python(PyObject*, PyObject* args) {
  PyObject* samples;
  const char* format_name;
  const char* role;
  if (!PyArg_ParseTuple(args, "Oss", &samples, &format_name, &role)) return nullptr;
  SampleFormat format;
  if (parse_format(format_name, &format) < 0) return nullptr;
  InputRole input_role =
      std::string(role) == "write" ? InputRole::SpeakerWrite : InputRole::AecReference;
  std::vector<float> out;
  if (samples_from_python(samples, format, input_role, out) < 0) return nullptr;
  return float_list(out);
}

PyObject* from_buffer(PyObject*, PyObject* samples) {
  std::vector<float> out;
  if (buffer_from_python(samples, out) < 0) return nullptr;
  return float_list(out);
}

// raise_kind(kind_name, *fields): raises the CoreError of that kind.
PyObject* raise_kind(PyObject*, PyObject* args) {
  Py_ssize_t n = PyTuple_GET_SIZE(args);
  std::vector<std::string> text;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_ssize_t size;
    const char* item = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(args, i), &size);
    if (item == nullptr) return nullptr;
    text.emplace_back(item, static_cast<size_t>(size));
  }
  if (text.empty()) return PyErr_Format(PyExc_TypeError, "kind name required");
  for (size_t k = 0; k < kErrorKindCount; ++k) {
    auto kind = static_cast<ErrorKind>(k);
    if (error_kind_name(kind) != text[0]) continue;
    switch (text.size()) {
      case 1: return raise_core_error(CoreError(kind));
      case 2: return raise_core_error(CoreError(kind, text[1]));
      case 3: return raise_core_error(CoreError(kind, text[1], text[2]));
      default: return raise_core_error(CoreError(kind, text[1], text[2], text[3]));
    }
  }
  return PyErr_Format(PyExc_ValueError, "no kind %s", text[0].c_str());
}

// raise_path_kind(kind_name, path_bytes, cause): a path field given as raw bytes.
PyObject* raise_path_kind(PyObject*, PyObject* args) {
  const char* name;
  const char* path;
  Py_ssize_t path_size;
  const char* cause;
  if (!PyArg_ParseTuple(args, "sy#s", &name, &path, &path_size, &cause)) return nullptr;
  std::filesystem::path fs_path(std::string(path, static_cast<size_t>(path_size)));
  for (size_t k = 0; k < kErrorKindCount; ++k) {
    auto kind = static_cast<ErrorKind>(k);
    if (error_kind_name(kind) == name) return raise_core_error(CoreError(kind, fs_path, cause));
  }
  return PyErr_Format(PyExc_ValueError, "no kind %s", name);
}

PyObject* raise_name(PyObject*, PyObject* args) {
  const char* name;
  const char* message;
  if (!PyArg_ParseTuple(args, "ss", &name, &message)) return nullptr;
  return raise_by_name(name, message);
}

// error_table(): [(name, base, extra argument count or None for a base class, template)]
// in registry order.
PyObject* error_table(PyObject*, PyObject*) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const ErrorClass& entry : error_classes()) {
    PyRef item;
    const ErrorKind* kind = nullptr;
    ErrorKind found{};
    for (size_t k = 0; k < kErrorKindCount; ++k) {
      if (error_kind_name(static_cast<ErrorKind>(k)) == entry.name) {
        found = static_cast<ErrorKind>(k);
        kind = &found;
      }
    }
    if (kind == nullptr) {
      item = PyRef(Py_BuildValue("(s#s#Os)", entry.name.data(), Py_ssize_t(entry.name.size()),
                                 entry.base.data(), Py_ssize_t(entry.base.size()), Py_None, ""));
    } else {
      std::string_view tmpl = error_kind_template(*kind);
      item = PyRef(Py_BuildValue("(s#s#is#)", entry.name.data(), Py_ssize_t(entry.name.size()),
                                 entry.base.data(), Py_ssize_t(entry.base.size()),
                                 static_cast<int>(error_kind_arguments(*kind)), tmpl.data(),
                                 Py_ssize_t(tmpl.size())));
    }
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// throw_native(what): throws a C++ exception ("alloc", "length", "runtime" or anything
// else) out of a function called through the module's entry guard.
PyObject* throw_native(PyObject*, PyObject* what) {
  const char* text = PyUnicode_AsUTF8(what);
  if (text == nullptr) return nullptr;
  const std::string kind(text);
  if (kind == "alloc") throw std::bad_alloc();
  if (kind == "length") throw std::length_error("vector::reserve");
  if (kind == "runtime") throw std::runtime_error("native failure");
  throw 42;
}

PyMethodDef kMethods[] = {
    {"error_table", error_table, METH_NOARGS, nullptr},
    {"throw_native", entry<throw_native>, METH_O, nullptr},
    {"to_python", to_python, METH_VARARGS, nullptr},
    {"from_python", from_python, METH_VARARGS, nullptr},
    {"from_buffer", from_buffer, METH_O, nullptr},
    {"raise_kind", raise_kind, METH_VARARGS, nullptr},
    {"raise_path_kind", raise_path_kind, METH_VARARGS, nullptr},
    {"raise_name", raise_name, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_murello_probe", nullptr, 0, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace murello::py

PyMODINIT_FUNC PyInit__murello_probe() { return PyModule_Create(&murello::py::kModule); }
