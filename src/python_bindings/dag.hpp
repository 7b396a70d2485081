// The Python class Dag: an immutable, executable built graph.
//
// Made only by Graph.build. Every method takes shared access, so any number
// of calls, several concurrent execute calls from different threads
// included, may use one object at once. execute converts its options,
// releases the interpreter lock for the whole engine run and converts the
// result after taking the lock back. Requires: the interpreter lock on entry
// to everything here.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "dag/dag.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/module_state.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

struct DagState {
  BorrowFlag borrow;
  std::optional<Dag> dag;  // present from creation until the cycle collector clears the object
  std::optional<std::string> namespace_name;  // default namespace of runs
  // The context keys of the Dag's layout as str objects, made on first use.
  std::vector<PyRef> key_objects;
};

struct DagObject {
  PyObject_HEAD
  DagState state;
};

// Creates the class for `module`; new reference, or null with an error set.
PyTypeObject* create_dag_type(PyObject* module);

// A new Dag object of `module` owning `dag`. Throws PythonError.
PyObject* wrap_dag(const ModuleState& module, Dag dag, std::optional<std::string> namespace_name);

}  // namespace quillon::py
