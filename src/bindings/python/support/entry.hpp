// Entry points: every function CPython calls into the module goes through `entry<fn>`,
// so that no C++ exception crosses into the interpreter. Allocation failure becomes
// MemoryError; any other exception a RuntimeError with its text.
//
// Unwinding runs the scope guards of the failed call first, so the interpreter lock is
// held again (GilRelease) and mutexes are free when the exception is translated.
//
// One unwind is not an error to translate: at interpreter exit CPython ends a daemon
// thread that asks for the lock back with pthread_exit, which unwinds the thread's stack
// as abi::__forced_unwind. It must leave every frame, so entry points are not noexcept
// and let it pass (catching it without rethrowing, or meeting a noexcept frame on the
// way, aborts the process).
#pragma once

#include <Python.h>
#include <cxxabi.h>

namespace murello::py {

// Sets the Python exception for the C++ exception being handled; returns nullptr.
// Call only from a catch block.
PyObject* raise_native_exception();

template <auto Fn>
struct Entry;

template <class... Args, PyObject* (*Fn)(Args...)>
struct Entry<Fn> {
  static PyObject* call(Args... args) {
    try {
      return Fn(args...);
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      return raise_native_exception();
    }
  }
};

// `fn` as a C function CPython may call: entry<file_read> in a method table.
template <auto Fn>
inline constexpr auto entry = &Entry<Fn>::call;

}  // namespace murello::py
