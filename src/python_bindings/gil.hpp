// Scoped handling of the interpreter lock.
//
// GilGuard takes the lock from any thread (creating a thread state when the
// thread has none) and drains the deferred release queue; it is the one way
// engine threads enter Python. GilRelease lets go of the lock for a scope of
// pure engine work and takes it back, draining the queue, on exit (also when
// the scope is left by an exception). Neither may be used while an engine
// mutex is held.
#pragma once

#include <Python.h>

#include "python_bindings/release_queue.hpp"

namespace quillon::py {

class GilGuard {
 public:
  GilGuard() noexcept : state_(PyGILState_Ensure()) { drain_release_queue(); }
  ~GilGuard() { PyGILState_Release(state_); }
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

 private:
  PyGILState_STATE state_;
};

// Requires: the lock is held on entry.
class GilRelease {
 public:
  GilRelease() noexcept : saved_(PyEval_SaveThread()) {}
  ~GilRelease() {
    PyEval_RestoreThread(saved_);
    drain_release_queue();
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace quillon::py
