#include "python_bindings/call_failure.hpp"

#include <new>
#include <string>

#include "node.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

void note_failure_line(std::string_view text) noexcept {
  try {
    note_call_failure(std::string(text.substr(0, text.find('\n'))));
  } catch (const std::bad_alloc&) {
  }
}

void note_pending_exception() noexcept {
  PyRef described;
  {
    ErrorScope error;  // puts the exception back at the end of the scope
    PyObject* exception = error.exception();  // borrowed from `error`
    if (exception == nullptr) return;
    PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exception)), "__name__"));
    PyRef message = PyRef::steal(PyObject_Str(exception));
    PyErr_Clear();
    described = PyRef::steal(PyUnicode_FromFormat("%S: %S", name ? name.get() : Py_None,
                                                  message ? message.get() : Py_None));
    PyErr_Clear();
  }
  if (!described) return;
  ErrorScope keep_pending;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(described.get(), &size);
  if (data != nullptr) note_failure_line(std::string_view(data, static_cast<std::size_t>(size)));
  PyErr_Clear();
}

void note_not_a_dict(PyObject* result) noexcept {
  try {
    note_call_failure("Python function did not return a dict (it returned " + std::string(Py_TYPE(result)->tp_name) +
                      ")");
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace quillon::py
