// The Python class Graph: a graph builder that Python code fills with nodes,
// variants and branches and turns into a Dag once.
//
// Every method takes exclusive access to the object for its whole duration,
// so re-entrant use (the graph passed to its own branch, or touched by user
// code that argument conversion runs) raises "Already borrowed". build and
// being merged as a branch take the builder away for good. Requires: the
// interpreter lock for everything here.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <unordered_map>

#include "builder/graph.hpp"
#include "python_bindings/borrow.hpp"

namespace quillon::py {

struct GraphState {
  BorrowFlag borrow;
  std::optional<Graph> graph;  // absent once built or merged as a branch
  std::optional<std::string> namespace_name;  // copied from an attached MemoryCache
  // The node functions made so far, by callable: nodes that share a
  // callable share one node function (which keeps the callable alive, so
  // no address is reused while it is listed here).
  std::unordered_map<PyObject*, NodeFunction> functions;
};

struct GraphObject {
  PyObject_HEAD
  GraphState state;
};

// Creates the class for `module`; new reference, or null with an error set.
PyTypeObject* create_graph_type(PyObject* module);

}  // namespace quillon::py
