// PyRef: a move-only owner of one strong reference to a Python object.
//
// Created with an explicit steal (the caller hands over a reference it owns)
// or borrow (a new reference is taken). Dropping a PyRef releases its
// reference at once, so a PyRef may only live and die on a thread that holds
// the interpreter lock. Engine code never sees a PyRef; it holds PyObjectRef
// (graph_data.hpp), whose last release is deferred when the lock is not held.
#pragma once

#include <Python.h>

#include <exception>
#include <utility>

namespace quillon::py {

// The per-call thread-locals of this layer use the initial-exec model, so a
// read is a plain load rather than a call into the dynamic loader. They take
// a few bytes of the static TLS space the loader keeps for modules opened at
// run time.
#define QUILLON_CALL_TLS __attribute__((tls_model("initial-exec")))

// Set on a thread that the interpreter ends while it finalizes: the thread
// waited for the interpreter lock and is being unwound to its end. Nothing
// on the way may touch a reference count or wait for the lock again.
inline thread_local bool t_thread_ending QUILLON_CALL_TLS = false;

// Runs `take_lock` (a call that may wait for the interpreter lock and that
// throws no C++ exception); if the interpreter ends the thread there, marks
// it as ending and lets the unwinding go on.
template <typename TakeLock>
inline auto marking_thread_end(TakeLock&& take_lock) -> decltype(take_lock()) {
  try {
    return take_lock();
  } catch (...) {
    t_thread_ending = true;
    throw;
  }
}

// In a catch (...) block: true when the exception being handled is the
// unwinding that ends the thread, or any other exception that is not a C++
// one (std::current_exception() cannot hold those). Such an exception must
// be rethrown, never absorbed.
inline bool handling_thread_end() noexcept { return !std::current_exception(); }

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() {
    if (!t_thread_ending) Py_XDECREF(object_);
  }

  // Takes over a reference the caller owns (may be null: a failed API call).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a new reference to a borrowed object (may be null).
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (to return it to the interpreter).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quillon::py
