// PyRef: a move-only owner of one strong reference to a Python object.
//
// Created with an explicit steal (the caller hands over a reference it owns)
// or borrow (a new reference is taken). Dropping a PyRef releases its
// reference at once, so a PyRef may only live and die on a thread that holds
// the interpreter lock. Engine code never sees a PyRef; it holds PyObjectRef
// (graph_data.hpp), whose last release is deferred when the lock is not held.
#pragma once

#include <Python.h>

#include <utility>

namespace quillon::py {

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
  ~PyRef() { Py_XDECREF(object_); }

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
