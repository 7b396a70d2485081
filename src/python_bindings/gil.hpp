// Scoped handling of the interpreter lock.
//
// GilGuard takes the lock from any thread (creating a thread state when the
// thread has none) and drains the deferred release queue; it is the one way
// engine threads enter Python. GilRelease lets go of the lock for a scope of
// pure engine work and takes it back, draining the queue, on exit (also when
// the scope is left by an exception). Neither may be used while an engine
// mutex is held.
//
// While the interpreter finalizes, it ends every other thread that waits for
// the lock by unwinding it (a forced unwind that no catch block may stop).
// Both guards mark the thread as ending (t_thread_ending) and let the
// unwinding through; on the way out nothing takes the lock or touches a
// reference count again, so a run on a daemon thread ends quietly at exit.
#pragma once

#include <Python.h>

#include "python_bindings/py_ref.hpp"
#include "python_bindings/release_queue.hpp"

namespace quillon::py {

// The thread state this thread let go of in its innermost GilRelease, while
// it does not hold the lock; null otherwise. A GilGuard on the same thread
// (a node function run by a sequential engine loop) takes the lock back with
// that state directly, which is cheaper than the general thread-state lookup.
inline thread_local PyThreadState* t_released_state QUILLON_CALL_TLS = nullptr;

class GilGuard {
 public:
  GilGuard() {
    if (t_released_state != nullptr) {
      own_ = t_released_state;
      t_released_state = nullptr;
      marking_thread_end([&] { PyEval_RestoreThread(own_); });
    } else {
      state_ = marking_thread_end([] { return PyGILState_Ensure(); });
    }
    drain_release_queue();
  }
  ~GilGuard() {
    if (t_thread_ending) return;
    if (own_ != nullptr) {
      t_released_state = PyEval_SaveThread();
    } else {
      PyGILState_Release(state_);
    }
  }
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

 private:
  PyThreadState* own_ = nullptr;
  PyGILState_STATE state_{};
};

// Requires: the lock is held on entry.
class GilRelease {
 public:
  GilRelease() noexcept : outer_(t_released_state), saved_(PyEval_SaveThread()) { t_released_state = saved_; }
  ~GilRelease() noexcept(false) {
    t_released_state = outer_;
    if (t_thread_ending) return;
    marking_thread_end([&] { PyEval_RestoreThread(saved_); });
    drain_release_queue();
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* outer_;
  PyThreadState* saved_;
};

}  // namespace quillon::py
