// Error handling at the boundary between C++ and the interpreter.
//
// Inside the binding layer a failed Python API call is turned into a C++
// PythonError (the Python error stays set), so that RAII unwinds the call.
// Every entry point the interpreter calls runs its body through call_guarded,
// which is the one place that turns C++ exceptions into Python exceptions:
// PythonError passes the pending error through; the propagation engines'
// PropagationError and DistributionError become ValueError with their text;
// ExecutionError and any other std::exception become RuntimeError with their
// text; std::bad_alloc becomes MemoryError. No C++ exception ever crosses into the interpreter.
// Requires: the interpreter lock is held wherever these are used.
#pragma once

#include <Python.h>

#include <string>
#include <type_traits>

#include "python_bindings/py_ref.hpp"

namespace quillon::py {

// Thrown after a Python API call failed; the Python error is already set.
struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// Sets `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Owns `object` (a new reference from an API call); throws when it is null.
inline PyRef check(PyObject* object) {
  if (object == nullptr) throw_python_error();
  return PyRef::steal(object);
}

// Turns the exception being handled into a Python error. Call only from a
// catch block.
void set_error_from_current_exception() noexcept;

// Runs `body` and returns its result; on any exception sets the Python error
// and returns the failure value (null for objects, -1 for ints). The
// unwinding by which an exiting interpreter ends a thread passes through.
template <typename Body>
auto call_guarded(Body&& body) -> decltype(body()) {
  using Result = decltype(body());
  try {
    return body();
  } catch (...) {
    if (handling_thread_end()) {
      t_thread_ending = true;
      throw;  // the interpreter ends this thread: let it unwind
    }
    set_error_from_current_exception();
    if constexpr (std::is_pointer_v<Result>) {
      return nullptr;
    } else {
      return Result(-1);
    }
  }
}

// Name of an object's type as users read it ("int", "NoneType", "Graph").
std::string type_name_of(PyObject* object);

}  // namespace quillon::py
