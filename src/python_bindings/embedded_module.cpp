#include "python_bindings/embedded_module.hpp"

#include "python_bindings/errors.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

PyObject* embedded_module(PyObject*& slot, const char* name, const char* file, const char* source) {
  if (slot != nullptr) return slot;
  PyRef module = check(PyModule_New(name));
  PyObject* globals = PyModule_GetDict(module.get());  // borrowed
  if (PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) != 0) throw_python_error();
  PyRef code = check(Py_CompileString(source, file, Py_file_input));
  PyRef ran = check(PyEval_EvalCode(code.get(), globals, globals));
  // Running the text may have run other code (imports) that already made
  // one: keep the first.
  if (slot == nullptr) slot = module.release();
  return slot;
}

}  // namespace quillon::py
