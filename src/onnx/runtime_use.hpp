// Threads inside ONNX Runtime, counted so that the process can end safely.
//
// The runtime registers exit handlers of its own when it is loaded; they tear down its
// global state while the process exits. A thread still inside the runtime then (a daemon
// thread loading a model or scoring audio when the interpreter exits) would run on torn
// state or on unmapped code. So every call into the runtime holds an `OrtUse`, and at
// interpreter exit, before any exit handler, `ort_close` refuses new uses and waits for
// those in flight; a refused call fails with an error (nobody is left to read it) or, for
// a release, keeps what it would have released.
//
// Threads: any thread. Counting is lock-free, so a forked child can never wait on a lock
// its parent held at fork().
#pragma once

#include <chrono>

namespace murello {

class OrtUse {
 public:
  OrtUse();
  ~OrtUse();
  OrtUse(const OrtUse&) = delete;
  OrtUse& operator=(const OrtUse&) = delete;

  // False once the runtime is closed: the caller must not touch the runtime.
  explicit operator bool() const { return held_; }

 private:
  bool held_ = false;
};

// The cause text of a call refused by a closed runtime.
inline constexpr const char* kOrtClosedCause = "the process is exiting";

// Refuses every later use and waits, at most `limit`, for the uses in flight to end.
void ort_close(std::chrono::milliseconds limit);

}  // namespace murello
