#include "python_bindings/release_queue.hpp"

#include <atomic>
#include <utility>
#include <vector>

#include "python_bindings/gil.hpp"
#include "thread_annotations.hpp"

namespace quillon::py {

namespace {

// Invariant: g_release_pending is true whenever `pending` is non-empty (it
// may be true briefly while a drain empties the list). Readers that see false
// skip the mutex, which keeps the per-call cost of GilGuard at one atomic
// load.
struct ReleaseQueue {
  Mutex mu;
  std::vector<PyObject*> pending GUARDED_BY(mu);
};

ReleaseQueue& queue() {
  // Never destroyed: releases may still be queued by threads that outlive
  // the interpreter, and those objects are simply leaked.
  static ReleaseQueue* q = new ReleaseQueue;
  return *q;
}

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

bool this_thread_holds_gil() noexcept {
  if (!Py_IsInitialized()) return false;
  // PyGILState_Check answers "yes" on every thread once a subinterpreter has
  // existed, so the thread state is asked instead: a thread holds the lock
  // exactly when the state attached to the lock is its own.
#if PY_VERSION_HEX >= 0x030D0000
  const PyThreadState* current = PyThreadState_GetUnchecked();
#else
  const PyThreadState* current = _PyThreadState_UncheckedGet();
#endif
  return current != nullptr && current->thread_id == PyThread_get_thread_ident();
}

void release_reference(PyObject* object) noexcept {
  if (object == nullptr) return;
  if (this_thread_holds_gil()) {
    Py_DECREF(object);
    return;
  }
  ReleaseQueue& q = queue();
  try {
    MutexLock lock(q.mu);
    q.pending.push_back(object);
    g_release_pending.store(true, std::memory_order_release);
  } catch (...) {
    // Out of memory while queueing: leaking one reference is the only safe
    // choice without the interpreter lock.
  }
}

void retain_reference(PyObject* object) noexcept {
  if (object == nullptr) return;
  if (this_thread_holds_gil()) {
    Py_INCREF(object);
    return;
  }
  GilGuard gil;
  Py_INCREF(object);
}

void drain_pending_releases() noexcept {
  ReleaseQueue& q = queue();
  if (!g_release_pending.load(std::memory_order_acquire)) return;
  if (interpreter_finalizing()) return;
  // A decref may run arbitrary Python code (__del__, weakref callbacks);
  // keep the caller's pending error out of its way.
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  std::vector<PyObject*> batch;
  for (;;) {
    {
      MutexLock lock(q.mu);
      if (q.pending.empty()) {
        g_release_pending.store(false, std::memory_order_release);
        break;
      }
      batch.swap(q.pending);
    }
    // The list is detached before any decref, so code run by a decref may
    // queue new releases without touching this batch.
    for (PyObject* object : batch) Py_DECREF(object);
    batch.clear();
  }
  PyErr_Restore(type, value, traceback);
}

Py_ssize_t pending_release_count() noexcept {
  ReleaseQueue& q = queue();
  MutexLock lock(q.mu);
  return static_cast<Py_ssize_t>(q.pending.size());
}

}  // namespace quillon::py
