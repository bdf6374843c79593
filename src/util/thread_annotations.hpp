// Which thread or lock each piece of state belongs to, written so that Clang's thread
// safety analysis (-Wthread-safety) checks it; other compilers see plain code.
//
// Mutex is std::mutex as a capability: members it protects are MURELLO_GUARDED_BY it,
// functions that expect it held MURELLO_REQUIRES it, and MutexLock holds it for a scope.
// ThreadRole is a capability that no lock backs: state only one thread touches (an audio
// thread's) is guarded by the role, and the thread's entry points claim the role with
// on_this_thread(), so that the analysis reports any other path to that state.
#pragma once

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define MURELLO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MURELLO_THREAD_ANNOTATION(x)
#endif

#define MURELLO_CAPABILITY(name) MURELLO_THREAD_ANNOTATION(capability(name))
#define MURELLO_SCOPED_CAPABILITY MURELLO_THREAD_ANNOTATION(scoped_lockable)
#define MURELLO_GUARDED_BY(x) MURELLO_THREAD_ANNOTATION(guarded_by(x))
#define MURELLO_PT_GUARDED_BY(x) MURELLO_THREAD_ANNOTATION(pt_guarded_by(x))
#define MURELLO_REQUIRES(...) MURELLO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define MURELLO_EXCLUDES(...) MURELLO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define MURELLO_ACQUIRE(...) MURELLO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define MURELLO_RELEASE(...) MURELLO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define MURELLO_ASSERT_CAPABILITY(x) MURELLO_THREAD_ANNOTATION(assert_capability(x))

namespace murello {

class MURELLO_CAPABILITY("mutex") Mutex {
 public:
  void lock() MURELLO_ACQUIRE() { mutex_.lock(); }
  void unlock() MURELLO_RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex from construction to destruction, except while it waits on a condition
// variable or between an explicit unlock() and lock().
class MURELLO_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) MURELLO_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() MURELLO_RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() MURELLO_RELEASE() { lock_.unlock(); }
  void lock() MURELLO_ACQUIRE() { lock_.lock(); }

  // Releases the mutex until `changed` is notified (or wakes spuriously), then takes it
  // again: callers loop on their condition, which the analysis then sees checked under
  // the lock.
  void wait(std::condition_variable& changed) { changed.wait(lock_); }

 private:
  std::unique_lock<std::mutex> lock_;
};

// The code that runs on one particular thread, as a capability (see above). Costs nothing.
class MURELLO_CAPABILITY("role") ThreadRole {
 public:
  // Called where that thread enters: what follows runs on it.
  void on_this_thread() const MURELLO_ASSERT_CAPABILITY(this) {}
};

}  // namespace murello
