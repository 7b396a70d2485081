// The process-wide queue of deferred Python reference releases.
//
// Engine threads copy and drop values that hold Python objects without the
// interpreter lock. A release that happens on such a thread cannot touch the
// reference count, so it is queued here and performed the next time this
// module takes the lock (GilGuard, GilRelease). Thread-safe: pushing takes a
// short mutex and never calls into Python; draining requires the lock.
#pragma once

#include <Python.h>

#include <atomic>

namespace quillon::py {

// True when the calling thread holds the interpreter lock.
bool this_thread_holds_gil() noexcept;

// Drops one strong reference: at once when this thread holds the lock,
// otherwise queued.
void release_reference(PyObject* object) noexcept;

// Takes one strong reference, acquiring the lock when this thread does not
// hold it. Requires: no engine mutex held by the caller.
void retain_reference(PyObject* object) noexcept;

// Whether releases are waiting (may be true briefly while a drain runs).
inline std::atomic<bool> g_release_pending{false};

void drain_pending_releases() noexcept;

// Performs every queued release. A pending Python error is kept intact;
// nothing happens while the interpreter is finalizing.
// Requires: the interpreter lock is held and no engine mutex is held.
inline void drain_release_queue() noexcept {
  if (g_release_pending.load(std::memory_order_acquire)) drain_pending_releases();
}

// Number of releases waiting (for tests and diagnostics).
Py_ssize_t pending_release_count() noexcept;

}  // namespace quillon::py
