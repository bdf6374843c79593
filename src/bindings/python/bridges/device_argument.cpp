#include "bindings/python/bridges/device_argument.hpp"

#include "bindings/python/support/pyref.hpp"

namespace murello::py {
namespace {

int unsupported() {
  PyErr_SetString(PyExc_ValueError, "device must be None, int, str, or Device");
  return -1;
}

// An integer that fits an unsigned 64-bit index; false (no exception) for anything else.
bool as_index(PyObject* value, uint64_t* out) {
  PyRef index(PyNumber_Index(value));
  if (!index) {
    PyErr_Clear();
    return false;
  }
  const unsigned long long wide = PyLong_AsUnsignedLongLong(index.get());
  if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  *out = wide;
  return true;
}

// 1 for a Device instance, 0 for anything else, -1 when the class cannot be imported.
int is_device_object(PyObject* value) {
  PyRef module(PyImport_ImportModule("murello._classes"));
  if (!module) return -1;
  PyRef device_class(PyObject_GetAttrString(module.get(), "Device"));
  if (!device_class) return -1;
  return PyObject_IsInstance(value, device_class.get());
}

}  // namespace

int device_argument_from_python(PyObject* value, DeviceArgument* out) {
  if (value == nullptr || value == Py_None) {
    *out = DefaultDevice{};
    return 0;
  }
  if (uint64_t index = 0; as_index(value, &index)) {
    *out = DeviceIndex{index};
    return 0;
  }
  if (PyUnicode_Check(value)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) return -1;
    *out = DeviceName{std::string(text, static_cast<size_t>(size))};
    return 0;
  }
  const int is_device = is_device_object(value);
  if (is_device < 0) return -1;
  if (is_device == 0) return unsupported();
  PyRef id(PyObject_GetAttrString(value, "id"));
  if (!id) return -1;
  if (!PyUnicode_Check(id.get())) {
    PyErr_SetString(PyExc_TypeError, "Device.id must be a str");
    return -1;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(id.get(), &size);
  if (text == nullptr) return -1;
  *out = DeviceId{std::string(text, static_cast<size_t>(size))};
  return 0;
}

}  // namespace murello::py
