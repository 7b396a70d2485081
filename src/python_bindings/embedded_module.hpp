// Python source kept beside the bindings and compiled into the extension as
// text (CMake writes each file into a generated header): run once, on first
// use, as a module of its own.
// Requires: the interpreter lock.
#pragma once

#include <Python.h>

namespace quillon::py {

// The module `name` made by running `source` (reported as from `file`),
// kept in `slot` (a strong reference the module state owns); borrowed.
// Throws PythonError.
PyObject* embedded_module(PyObject*& slot, const char* name, const char* file, const char* source);

}  // namespace quillon::py
