#include "bindings/python/support/args.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "bindings/python/support/pyref.hpp"

namespace murello::py {
namespace {

int too_large() {
  PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
  return -1;
}

int too_small() {
  PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
  return -1;
}

// The integer value of `value` (anything with __index__), range-checked against T.
template <class T>
int to_integer(PyObject* value, T* out) {
  PyRef index(PyNumber_Index(value));
  if (!index) return -1;
  int overflow = 0;
  long long wide = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow > 0) return too_large();
  if (overflow < 0) return too_small();
  if (wide == -1 && PyErr_Occurred()) return -1;
  if (wide > static_cast<long long>(std::numeric_limits<T>::max())) return too_large();
  if (wide < static_cast<long long>(std::numeric_limits<T>::min())) return too_small();
  *out = static_cast<T>(wide);
  return 0;
}

int wrong_type(PyObject* value, const char* expected) {
  PyErr_Format(PyExc_TypeError, "'%s' object is not %s", Py_TYPE(value)->tp_name, expected);
  return -1;
}

}  // namespace

int bind_arguments(const char* function, std::span<const char* const> names, size_t required,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const size_t count = names.size();
  for (size_t i = 0; i < count; ++i) out[i] = nullptr;
  if (static_cast<size_t>(nargs) > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", function,
                 count, nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    const char* key = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
    if (key == nullptr) return -1;
    size_t i = 0;
    while (i < count && std::strcmp(names[i], key) != 0) ++i;
    if (i == count) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", function,
                   key);
      return -1;
    }
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   key);
      return -1;
    }
    out[i] = args[nargs + k];
  }
  for (size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, names[i]);
      return -1;
    }
  }
  return 0;
}

int to_uint8(PyObject* value, uint8_t* out) { return to_integer(value, out); }
int to_uint16(PyObject* value, uint16_t* out) { return to_integer(value, out); }
int to_uint32(PyObject* value, uint32_t* out) { return to_integer(value, out); }
int to_int8(PyObject* value, int8_t* out) { return to_integer(value, out); }
int to_int64(PyObject* value, int64_t* out) { return to_integer(value, out); }

int to_bool(PyObject* value, bool* out) {
  if (PyBool_Check(value)) {
    *out = value == Py_True;
    return 0;
  }
  // NumPy booleans, recognised without importing NumPy.
  const char* name = Py_TYPE(value)->tp_name;
  if (std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0) {
    int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    *out = truth != 0;
    return 0;
  }
  return wrong_type(value, "a bool");
}

int to_float(PyObject* value, float* out) {
  double wide = PyFloat_AsDouble(value);
  if (wide == -1.0 && PyErr_Occurred()) return -1;
  *out = static_cast<float>(wide);
  return 0;
}

int to_seconds(PyObject* value, double* out) {
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) return -1;
  if (!(seconds >= 0.0) || !std::isfinite(seconds)) {
    PyErr_SetString(PyExc_ValueError, "must be a finite number of seconds, at least 0");
    return -1;
  }
  *out = seconds;
  return 0;
}

int to_string(PyObject* value, std::string* out) {
  if (!PyUnicode_Check(value)) return wrong_type(value, "a str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return -1;
  out->assign(text, static_cast<size_t>(size));
  return 0;
}

int to_path(PyObject* value, std::filesystem::path* out) {
  // The converter refuses an embedded NUL as open() does: the system would cut the path
  // there and use another file.
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(value, &converted)) return -1;
  PyRef encoded(converted);
  *out = std::filesystem::path(std::string(PyBytes_AS_STRING(encoded.get()),
                                           static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))));
  return 0;
}

int to_file_input(PyObject* value, FileInput* out) {
  if (PyByteArray_Check(value)) {
    const auto* first = reinterpret_cast<const uint8_t*>(PyByteArray_AS_STRING(value));
    *out = std::vector<uint8_t>(first, first + PyByteArray_GET_SIZE(value));
    return 0;
  }
  std::filesystem::path path;
  if (to_path(value, &path) < 0) return -1;
  *out = std::move(path);
  return 0;
}

int to_channel_map(PyObject* value, std::vector<uint16_t>* out) {
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "channel_map must be a sequence of integers, not str");
    return -1;
  }
  PyRef iterator(PyObject_GetIter(value));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_SetString(PyExc_TypeError, "channel_map must be a sequence of integers");
    }
    return -1;
  }
  // A snapshot: an item's __index__ may change the caller's list under the loop.
  PyRef items(PySequence_Tuple(iterator.get()));
  if (!items) return -1;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  out->assign(static_cast<size_t>(n), 0);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (to_uint16(PyTuple_GET_ITEM(items.get(), i), &(*out)[static_cast<size_t>(i)]) < 0) {
      return -1;
    }
  }
  return 0;
}

void add_parameter_note(const char* name) {
  PyRef error = fetch_exception();
  if (!error) return;
  PyRef note(PyUnicode_FromFormat("while processing '%s'", name));
  PyRef added(note ? PyObject_CallMethod(error.get(), "add_note", "O", note.get()) : nullptr);
  if (!added) {
    // Python 3.10 has no add_note: keep the note where later versions keep it.
    PyErr_Clear();
    PyRef notes(PyList_New(0));
    if (notes && note && PyList_Append(notes.get(), note.get()) == 0) {
      PyObject_SetAttrString(error.get(), "__notes__", notes.get());
    }
    PyErr_Clear();
  }
  restore_exception(std::move(error));
}

}  // namespace murello::py
