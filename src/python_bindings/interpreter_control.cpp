#include "python_bindings/interpreter_control.hpp"

#include <string>

#include "python_bindings/errors.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/node_function.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

bool pending_error_stops_run() noexcept {
  return PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception);
}

void throw_run_interrupted() {
  ErrorScope error;
  PyObject* exception = error.exception();  // borrowed from `error`, with its traceback
  if (exception == nullptr) {
    error.drop();
    PyErr_Clear();
    exception = PyExc_KeyboardInterrupt;  // nothing was pending: stop all the same
  }
  Py_INCREF(exception);  // owned by the reason below
  error.drop();
  throw RunInterrupted(PyObjectRef::steal(exception));
}

void restore_interruption(const RunInterrupted& interrupted) noexcept {
  auto* exception = static_cast<PyObject*>(interrupted.reason().get());
  if (exception == nullptr) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return;
  }
  if (PyExceptionClass_Check(exception)) {
    PyErr_SetNone(exception);
    return;
  }
#if PY_VERSION_HEX >= 0x030C0000
  Py_INCREF(exception);
  PyErr_SetRaisedException(exception);  // steals
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  Py_INCREF(exception);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));  // steals all three
#endif
}

void InterpreterControl::check_interrupt() {
  GilGuard gil;
  // Handlers run on the main thread only; elsewhere this returns 0 at once.
  if (PyErr_CheckSignals() != 0) throw_run_interrupted();
}

void InterpreterControl::notice(std::string_view line) {
  GilGuard gil;
  std::string text(line);
  text += '\n';
  PyRef decoded = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!decoded) {
    PyErr_Clear();
    return;
  }
  write_to_stderr(decoded.get());
}

void InterpreterControl::warn(std::string_view message) {
  GilGuard gil;
  const std::string text(message);
  if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) throw_run_interrupted();
}

}  // namespace quillon::py
