// The Python class StatResult: read access to the result of a propagation
// run (Dag.predict, Dag.predict_at).
//
// Made only by those two methods; it has no constructor. Every member takes
// shared access and only reads the held result; each distribution handed out
// is a new Distribution object around a copy. The one exception is the list
// of particle dicts: made once, on first read, and kept. Requires: the interpreter lock
// for everything here.
#pragma once

#include <Python.h>

#include "python_bindings/borrow.hpp"
#include "python_bindings/module_state.hpp"
#include "python_bindings/py_ref.hpp"
#include "stat_result/stat_result.hpp"

namespace quillon::py {

struct StatResultState {
  BorrowFlag borrow;
  StatResult result;
  // The list of particle dicts, built on the first read of `particles` and
  // handed out on every later one; null until then (and after a GC clear,
  // which only a cycle through a user-modified list can bring about).
  PyRef particles;
};

struct StatResultObject {
  PyObject_HEAD
  StatResultState state;
};

// Creates the class for `module`; new reference, or null with an error set.
PyTypeObject* create_stat_result_type(PyObject* module);

// A new StatResult object of `module` owning `result`. Throws PythonError.
PyObject* wrap_stat_result(const ModuleState& module, StatResult result);

}  // namespace quillon::py
