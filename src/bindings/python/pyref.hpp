// PyRef: an owning reference to a Python object; GilRelease: a scope without the
// interpreter lock.
#pragma once

#include <Python.h>

#include <utility>

namespace murello::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes ownership of a new reference (which may be null after a failed call).
  explicit PyRef(PyObject* owned) : ptr_(owned) {}
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(ptr_);
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(ptr_); }

  PyObject* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(ptr_, nullptr); }

 private:
  PyObject* ptr_ = nullptr;
};

// Releases the interpreter lock for its lifetime. Code in this scope must not touch
// any Python object or allocator.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace murello::py
