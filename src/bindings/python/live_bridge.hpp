// What the two live bridges (MicrophoneBridge, SpeakerBridge) share: the process that
// built them. A forked child inherits copies of its parent's bridges, but not their
// audio threads, and it shares their devices with the parent: every call on such a copy
// raises BridgeUsedAfterFork, and freeing it lets go of the native object without
// touching either (it stays allocated in the child), so the parent's streams play on.
#pragma once

#include <Python.h>

#include <cstdint>

#include "bindings/python/entry.hpp"

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

}  // namespace murello::py
