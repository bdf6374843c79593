// What the two live bridges (MicrophoneBridge, SpeakerBridge) share: the process that
// built them, their context-manager methods and their deallocation. A forked child inherits copies of its parent's bridges, but not their
// audio threads, and it shares their devices with the parent: every call on such a copy
// raises BridgeUsedAfterFork, and freeing it lets go of the native object without
// touching either (it stays allocated in the child), so the parent's streams play on.
#pragma once

#include <Python.h>

#include <cstdint>

#include "bindings/python/support/entry.hpp"
#include "bindings/python/support/pyref.hpp"

namespace murello::py {

// The start of both bridges' object layouts.
struct LiveBridgeHead {
  PyObject_HEAD
  uint32_t owner_pid;
};

// Records the calling process as the bridge's.
void claim_live_bridge(PyObject* self);

// Whether the bridge was built in the calling process.
bool live_bridge_is_ours(PyObject* self);

// 0 when the bridge was built in the calling process; else -1 with BridgeUsedAfterFork.
int check_live_bridge_owner(PyObject* self);

template <auto Fn>
struct OwnedBy;

template <class... Args, PyObject* (*Fn)(PyObject*, Args...)>
struct OwnedBy<Fn> {
  static PyObject* call(PyObject* self, Args... args) {
    if (check_live_bridge_owner(self) < 0) return nullptr;
    return Fn(self, args...);
  }
};

// `fn`, a method or property of a live bridge, as an entry point that first checks the
// bridge's process.
template <auto Fn>
inline constexpr auto owned_entry = entry<&OwnedBy<Fn>::call>;

// owned_entry of a METH_FASTCALL method, cast as a method table takes it.
template <auto Fn>
PyCFunction owned_fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(owned_entry<Fn>));
}

// __enter__: `Start`, then the bridge itself.
template <PyObject* (*Start)(PyObject*, PyObject*)>
PyObject* enter_live_bridge(PyObject* self, PyObject*) {
  PyRef started(Start(self, nullptr));
  if (!started) return nullptr;
  return Py_NewRef(self);
}

// __exit__(exc_type, exc_value, traceback): `Stop`; an exception from the block propagates.
template <PyObject* (*Stop)(PyObject*, PyObject*)>
PyObject* exit_live_bridge(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError, "__exit__() takes exactly 3 arguments (%zd given)", nargs);
    return nullptr;
  }
  PyRef stopped(Stop(self, nullptr));
  if (!stopped) return nullptr;
  Py_RETURN_FALSE;
}

// tp_dealloc of a bridge object laid out as `Object`: a LiveBridgeHead, then the native
// bridge in its member `bridge`, which only the process that built it destroys.
template <class Object>
void dealloc_live_bridge(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (live_bridge_is_ours(self)) {
    GilRelease released;  // a running stream's audio thread is joined
    using Bridge = decltype(Object::bridge);
    reinterpret_cast<Object*>(self)->bridge.~Bridge();
  }
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace murello::py
