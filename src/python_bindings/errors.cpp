#include "python_bindings/errors.hpp"

#include <exception>
#include <new>

#include "dag/dag.hpp"
#include "uncertainty/predict.hpp"
#include "distribution/distribution.hpp"
#include "python_bindings/interpreter_control.hpp"

namespace quillon::py {

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

void raise(PyObject* type, const std::string& message) { raise(type, message.c_str()); }

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    // The error is already set; make sure of it so that a null result never
    // reaches the interpreter without an exception.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  } catch (const RunInterrupted& e) {
    // A run stopped by the user's own exception (KeyboardInterrupt and the
    // like): that exception, unchanged, is the caller's.
    restore_interruption(e);
  } catch (const ExecutionError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const PropagationError& e) {
    // The caller's inputs cannot be propagated (no sample count where one is
    // needed, a vector length beyond memory): a bad value, not a failure of
    // the run.
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const DistributionError& e) {
    // A Uniform whose bounds cannot be sampled.
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

std::string type_name_of(PyObject* object) {
  const char* name = Py_TYPE(object)->tp_name;
  // Static types of other extensions carry their module ("numpy.ndarray");
  // users know the type by the part after the last dot.
  std::string full = name != nullptr ? name : "object";
  const auto dot = full.rfind('.');
  return dot == std::string::npos ? full : full.substr(dot + 1);
}

}  // namespace quillon::py
