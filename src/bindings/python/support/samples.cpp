#include "bindings/python/support/samples.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "bindings/python/support/numpy.hpp"
#include "bindings/python/support/pyref.hpp"

namespace murello::py {
namespace {

constexpr const char* kNotContiguous = "The given array is not contiguous or is misaligned.";

// ---- PySliceContainer: the owner of a native buffer viewed by arrays ----

struct SliceContainer {
  PyObject_HEAD
  void* buffer;
  void (*release)(void*);
};

void slice_container_dealloc(PyObject* self) {
  auto* container = reinterpret_cast<SliceContainer*>(self);
  if (container->release != nullptr) container->release(container->buffer);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot kSliceContainerSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owner of a native sample buffer viewed by NumPy arrays.")},
    {0, nullptr},
};

PyType_Spec kSliceContainerSpec = {"murello._murello.PySliceContainer", sizeof(SliceContainer), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                       Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                   kSliceContainerSlots};

// Created at first use and kept for the process.
PyTypeObject* slice_container_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSliceContainerSpec));
  }
  return type;
}

template <class T>
void delete_vector(void* buffer) {
  delete static_cast<std::vector<T>*>(buffer);
}

// An array of `dims` over the vector's memory; the vector is owned by the array's base.
template <class T>
PyObject* array_over(std::vector<T>&& values, int typenum, int nd, npy_intp* dims) {
  PyTypeObject* type = slice_container_type();
  if (type == nullptr) return nullptr;
  auto owned = std::make_unique<std::vector<T>>(std::move(values));
  PyRef container(type->tp_alloc(type, 0));
  if (!container) return nullptr;
  void* data = owned->data();
  auto* slice = reinterpret_cast<SliceContainer*>(container.get());
  slice->buffer = owned.release();
  slice->release = delete_vector<T>;
  PyRef array(PyArray_New(&PyArray_Type, nd, dims, typenum, nullptr, data, 0,
                          NPY_ARRAY_CARRAY, nullptr));
  if (!array) return nullptr;
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                            container.release()) < 0) {
    return nullptr;
  }
  return array.release();
}

PyObject* chunk_to_array(std::vector<float>&& chunk, uint16_t channels, SampleFormat format) {
  if (require_numpy() < 0) return nullptr;
  const size_t n = chunk.size();
  if (channels == 0 || n % channels != 0) {
    std::string detail = "cannot shape " + std::to_string(n) + " samples as frames of " +
                         std::to_string(channels) + " channels";
    PyErr_Format(PyExc_RuntimeError, "ndarray shape error: %s", detail.c_str());
    return nullptr;
  }
  npy_intp dims[2] = {static_cast<npy_intp>(n / channels), static_cast<npy_intp>(channels)};
  int nd = channels == 1 ? 1 : 2;
  if (nd == 1) dims[0] = static_cast<npy_intp>(n);
  if (format == SampleFormat::Float32) {
    return array_over(std::move(chunk), NPY_FLOAT32, nd, dims);
  }
  std::vector<int16_t> converted(n);
  float_to_int16(chunk, converted);
  return array_over(std::move(converted), NPY_INT16, nd, dims);
}

PyObject* chunk_to_bytes(const std::vector<float>& chunk, SampleFormat format) {
  if (format == SampleFormat::Float32) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(chunk.data()),
                                     static_cast<Py_ssize_t>(chunk.size() * sizeof(float)));
  }
  PyObject* bytes =
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(chunk.size() * 2));
  if (bytes == nullptr) return nullptr;
  std::span<int16_t> out(reinterpret_cast<int16_t*>(PyBytes_AS_STRING(bytes)), chunk.size());
  float_to_int16(chunk, out);
  return bytes;
}

int wrong_input_type(InputRole role) {
  const char* text = nullptr;
  switch (role) {
    case InputRole::SpeakerWrite:
      text = "samples must be bytes or numpy.ndarray with dtype matching the configured format "
             "(int16 or float32); 1-D for mono or 2-D (N, channels) for multi-channel";
      break;
    case InputRole::AecReference:
      text = "samples must be bytes or numpy.ndarray with dtype matching the configured format "
             "(int16 or float32); the reference is mono";
      break;
    case InputRole::EchoCanceller:
      text = "near and far must be bytes or numpy.ndarray with dtype matching the canceller's "
             "format (int16 or float32); 1-D, or 2-D (N, channels) for a near end of several "
             "channels";
      break;
  }
  PyErr_SetString(PyExc_TypeError, text);
  return -1;
}

// The class whose `format` a caller would change to match an array's dtype.
const char* owner_name(InputRole role) {
  switch (role) {
    case InputRole::SpeakerWrite:
      return "Speaker";
    case InputRole::AecReference:
      return "Microphone";
    case InputRole::EchoCanceller:
      return "EchoCanceller";
  }
  return "";
}

// Whether the array's dtype is equivalent to the native dtype of `typenum`.
bool has_dtype(PyArrayObject* array, int typenum) {
  PyArray_Descr* wanted = PyArray_DescrFromType(typenum);
  bool equal = PyArray_EquivTypes(PyArray_DESCR(array), wanted);
  Py_DECREF(wanted);
  return equal;
}

void bytes_to_floats(std::span<const std::byte> raw, SampleFormat format,
                     std::vector<float>& out) {
  const size_t width = format == SampleFormat::Int16 ? 2 : 4;
  out.resize(raw.size() / width);
  if (format == SampleFormat::Int16) {
    int16_le_to_float(raw, out);
  } else {
    float32_le_to_float(raw, out);
  }
}

// Converts a bytes object without the interpreter lock. Its contents cannot change and
// it is the caller's argument, alive until the call returns, so no copy is taken first.
void convert_bytes(PyObject* bytes, SampleFormat format, std::vector<float>& out) {
  const std::span<const std::byte> raw(reinterpret_cast<const std::byte*>(PyBytes_AS_STRING(bytes)),
                                       static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
  GilRelease released;
  bytes_to_floats(raw, format, out);
}

}  // namespace

const char* format_name(SampleFormat format) {
  return format == SampleFormat::Int16 ? "int16" : "float32";
}

PyObject* samples_to_python(std::vector<float>&& chunk, uint16_t channels, SampleFormat format,
                            bool as_array) {
  if (as_array) return chunk_to_array(std::move(chunk), channels, format);
  return chunk_to_bytes(chunk, format);
}

int samples_from_python(PyObject* samples, SampleFormat format, InputRole role,
                        std::vector<float>& out) {
  if (PyBytes_Check(samples)) {
    convert_bytes(samples, format, out);
    return 0;
  }
  if (!numpy_loaded()) return wrong_input_type(role);
  if (require_numpy() < 0) return -1;
  if (!PyArray_Check(samples)) return wrong_input_type(role);
  auto* array = reinterpret_cast<PyArrayObject*>(samples);
  const int nd = PyArray_NDIM(array);
  const bool is_int16 = has_dtype(array, NPY_INT16);
  const bool is_float32 = !is_int16 && has_dtype(array, NPY_FLOAT32);
  if ((nd != 1 && nd != 2) || (!is_int16 && !is_float32)) return wrong_input_type(role);

  const SampleFormat given = is_int16 ? SampleFormat::Int16 : SampleFormat::Float32;
  if (given != format) {
    PyErr_Format(PyExc_TypeError,
                 "format='%s' configured but %s ndarray dtype is %s; convert with "
                 "arr.astype(np.%s) or construct %s with format='%s'",
                 format_name(format), nd == 1 ? "1-D" : "2-D", format_name(given),
                 format_name(format),
                 owner_name(role), format_name(given));
    return -1;
  }
  if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array)) {
    PyErr_Format(PyExc_ValueError, "%s must be C-contiguous: %s",
                 nd == 1 ? "ndarray" : "2-D ndarray", kNotContiguous);
    return -1;
  }
  const auto count = static_cast<size_t>(PyArray_SIZE(array));
  out.resize(count);
  if (count == 0) return 0;  // an empty array may have no data pointer
  if (format == SampleFormat::Int16) {
    int16_to_float({static_cast<const int16_t*>(PyArray_DATA(array)), count}, out);
  } else {
    std::memcpy(out.data(), PyArray_DATA(array), count * sizeof(float));
  }
  return 0;
}

int buffer_from_python(PyObject* samples, std::vector<float>& out) {
  constexpr const char* kWrongType = "samples must be a list of floats or f32 little-endian bytes";
  if (PyBytes_Check(samples)) {
    convert_bytes(samples, SampleFormat::Float32, out);
    return 0;
  }
  // Text and byte arrays are sequences too, but not of samples: a bytearray of raw
  // float32 bytes would otherwise be read as one sample per byte.
  if (PyUnicode_Check(samples) || PyByteArray_Check(samples) || PyMemoryView_Check(samples) ||
      !PySequence_Check(samples)) {
    PyErr_SetString(PyExc_TypeError, kWrongType);
    return -1;
  }
  // A snapshot: an item's __float__ may change the caller's list under the loop.
  PyRef items(PySequence_Tuple(samples));
  if (!items) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) PyErr_SetString(PyExc_TypeError, kWrongType);
    return -1;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  out.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    double value = PyFloat_AsDouble(PyTuple_GET_ITEM(items.get(), i));
    if (value == -1.0 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) PyErr_SetString(PyExc_TypeError, kWrongType);
      return -1;
    }
    out[static_cast<size_t>(i)] = static_cast<float>(value);
  }
  return 0;
}

PyObject* numpy_smoke(PyObject*, PyObject*) {
  if (require_numpy() < 0) return nullptr;
  std::vector<int16_t> values{0, 1, 2, 3, 4};
  npy_intp dims[1] = {5};
  return array_over(std::move(values), NPY_INT16, 1, dims);
}

}  // namespace murello::py
