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

// Takes the pending exception (normalised, with its traceback) off the thread; an empty
// reference when none is pending.
inline PyRef fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef(value);
#endif
}

// Makes `error` (from fetch_exception) the pending exception again.
inline void restore_exception(PyRef error) {
  if (!error) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(error.release());
#else
  PyObject* value = error.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

// Releases the interpreter lock for its lifetime. Code in this scope must not touch
// any Python object or allocator.
//
// Taking the lock back may end the thread: at interpreter exit CPython ends a daemon
// thread there with pthread_exit, a forced unwind that must pass through this destructor
// (hence not noexcept) and every frame above it (entry.hpp). The frames it leaves are
// unwound without the lock, so no PyRef may live in them across a release.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace murello::py
