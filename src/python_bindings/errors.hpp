// Error handling at the boundary between C++ and the interpreter.
//
// Inside the binding layer a failed Python API call is turned into a C++
// PythonError (the Python error stays set), so that RAII unwinds the call.
// Every entry point the interpreter calls runs its body through call_guarded,
// which is the one place that turns C++ exceptions into Python exceptions:
// PythonError passes the pending error through; RunInterrupted restores the
// exception that stopped the run; the propagation engines''
// PropagationError and DistributionError become ValueError with their text;
// ExecutionError and any other std::exception become RuntimeError with their
// text; std::bad_alloc becomes MemoryError. No C++ exception ever crosses into the interpreter.
// Requires: the interpreter lock is held wherever these are used.
#pragma once

#include <Python.h>

#include <string>
#include <type_traits>
#include <utility>

#include "python_bindings/py_ref.hpp"
#include "run_control.hpp"

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

// ErrorScope: the pending Python exception, set aside for a scope.
//
// Construction takes the exception that is pending, if any, out of the
// interpreter's error indicator; destruction puts it back (replacing any
// error raised meanwhile) unless drop() discarded it. Code that must keep a
// caller's error intact around calls that may fail holds one for the
// duration; code that consumes the pending error (to report or reword it)
// reads exception() and drops it before raising anything of its own.
// Requires: the interpreter lock for the scope's whole life.
class ErrorScope {
 public:
  ErrorScope() noexcept {
    if (PyErr_Occurred() == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
    exception_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &exception_, &traceback_);
#endif
  }
  ~ErrorScope() {
    if (!t_thread_ending) restore();  // an ending thread touches no interpreter state
  }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

  // Whether an exception is held.
  explicit operator bool() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return exception_ != nullptr;
#else
    return type_ != nullptr;
#endif
  }

  // The held exception as an exception instance with its traceback
  // attached; borrowed, null when none is held.
  PyObject* exception() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (type_ != nullptr && !normalized_) {
      PyErr_NormalizeException(&type_, &exception_, &traceback_);
      if (exception_ != nullptr && traceback_ != nullptr) PyException_SetTraceback(exception_, traceback_);
      normalized_ = true;
    }
#endif
    return exception_;
  }

  // Writes the held exception with its traceback to sys.stderr (without
  // going through sys.excepthook and without setting sys.last_*).
  void display() noexcept {
    PyObject* exception = this->exception();
    if (exception == nullptr) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_DisplayException(exception);
#else
    PyErr_Display(type_, exception, traceback_);
#endif
  }

  // Discards the held exception: nothing is restored.
  void drop() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    Py_CLEAR(type_);
    Py_CLEAR(traceback_);
#endif
    Py_CLEAR(exception_);
  }

 private:
  void restore() noexcept {
    if (!*this) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(std::exchange(exception_, nullptr));  // steals
#else
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(exception_, nullptr),
                  std::exchange(traceback_, nullptr));  // steals all three
#endif
  }

  PyObject* exception_ = nullptr;  // the exception's value before 3.12
#if PY_VERSION_HEX < 0x030C0000
  PyObject* type_ = nullptr;
  PyObject* traceback_ = nullptr;
  bool normalized_ = false;
#endif
};

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

// Runs `body`, a call into user code made for a run, and returns its
// result: a request to stop the run (RunInterrupted) and the unwinding that
// ends a thread pass through; any other exception becomes the pending Python
// error and `on_error()` gives the result. Requires: the interpreter lock.
template <typename Body, typename OnError>
auto call_for_run(Body&& body, OnError&& on_error) -> decltype(body()) {
  try {
    return body();
  } catch (const RunInterrupted&) {
    throw;
  } catch (...) {
    if (handling_thread_end()) {
      t_thread_ending = true;
      throw;  // the interpreter ends this thread: let it unwind
    }
    set_error_from_current_exception();
    return on_error();
  }
}

// Name of an object's type as users read it ("int", "NoneType", "Graph").
std::string type_name_of(PyObject* object);

}  // namespace quillon::py
