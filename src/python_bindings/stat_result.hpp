// The Python class StatResult: read access to the result of a propagation
// run (Dag.predict, Dag.predict_at).
//
// Made only by those two methods; it has no constructor. Every member takes
// shared access and only reads the held result; each distribution handed out
// is a new Distribution object around a copy. Requires: the interpreter lock
// for everything here.
#pragma once

#include <Python.h>

#include "python_bindings/borrow.hpp"
#include "stat_result/stat_result.hpp"

namespace quillon::py {

struct StatResultState {
  BorrowFlag borrow;
  StatResult result;
};

struct StatResultObject {
  PyObject_HEAD
  StatResultState state;
};

// Creates the type object (once per process); new reference.
PyObject* create_stat_result_type();

// A new StatResult object owning `result`. Throws PythonError.
PyObject* wrap_stat_result(StatResult result);

}  // namespace quillon::py
