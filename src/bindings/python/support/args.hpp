// Argument binding and conversion for the bridge methods (METH_FASTCALL |
// METH_KEYWORDS).
//
// bind_arguments matches positional and keyword arguments to parameter names. The
// converters each turn one Python value into a C++ value; on failure they set the
// Python exception of the conversion and return -1. `convert` adds the note
// "while processing '{name}'" to that exception, naming the parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "files/file_io.hpp"

namespace murello::py {

// Fills `out[i]` with a borrowed reference to the value of parameter i, or nullptr when
// it was not given. The first `required` parameters must be given. Returns -1 with
// TypeError set on a missing, repeated, unknown or surplus argument.
int bind_arguments(const char* function, std::span<const char* const> names, size_t required,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// Integers of an exact width: TypeError for non-integers, OverflowError "number too large
// to fit in target type" / "number too small to fit in target type" outside the width.
int to_uint8(PyObject* value, uint8_t* out);
int to_uint16(PyObject* value, uint16_t* out);
int to_uint32(PyObject* value, uint32_t* out);
int to_int8(PyObject* value, int8_t* out);
int to_int64(PyObject* value, int64_t* out);
// bool or numpy.bool_ only.
int to_bool(PyObject* value, bool* out);
// Any object PyFloat_AsDouble accepts, narrowed to single precision.
int to_float(PyObject* value, float* out);
// A time span in seconds: any object PyFloat_AsDouble accepts, finite and at least 0
// (ValueError otherwise).
int to_seconds(PyObject* value, double* out);
int to_string(PyObject* value, std::string* out);
// str, bytes or path-like, through the file-system encoding.
int to_path(PyObject* value, std::filesystem::path* out);
// A file's contents as a bytearray (copied, so that the core reads them without the
// interpreter lock while the caller may change the original), else a path as to_path.
int to_file_input(PyObject* value, FileInput* out);
// A sequence of integers that is not a str.
int to_channel_map(PyObject* value, std::vector<uint16_t>* out);

// Converts `value` with `converter` when it is given (not nullptr); with an optional
// output, None also means absent. Adds the parameter note on failure.
template <class T>
int convert(const char* name, PyObject* value, int (*converter)(PyObject*, T*), T* out);
template <class T>
int convert(const char* name, PyObject* value, int (*converter)(PyObject*, T*),
            std::optional<T>* out);

// Adds the note "while processing '{name}'" to the pending exception.
void add_parameter_note(const char* name);

template <class T>
int convert(const char* name, PyObject* value, int (*converter)(PyObject*, T*), T* out) {
  if (value == nullptr) return 0;
  if (converter(value, out) < 0) {
    add_parameter_note(name);
    return -1;
  }
  return 0;
}

template <class T>
int convert(const char* name, PyObject* value, int (*converter)(PyObject*, T*),
            std::optional<T>* out) {
  if (value == nullptr || value == Py_None) return 0;
  T converted{};
  if (convert(name, value, converter, &converted) < 0) return -1;
  *out = std::move(converted);
  return 0;
}

}  // namespace murello::py
