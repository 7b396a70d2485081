// Conversion between Python objects and graph values, and parsing of the
// inputs/outputs mappings of Graph.add and Graph.variants.
//
// Python -> GraphData tries, in order: the interpreter's float conversion,
// the integer conversion (__index__, signed 64-bit), UTF-8 text of a str, a
// sequence whose items all convert to floats, a sequence whose items all
// convert to integers, and otherwise an opaque handle holding the object
// itself. Contiguous one-dimensional numeric buffers of the built-in byte and
// array types and of numpy arrays take a copy-speed path that yields exactly
// the float vector the sequence rule would give.
// GraphData -> Python gives new objects, except opaque handles, which return
// the very object they hold.
// Requires: the interpreter lock for every function here.
#pragma once

#include <Python.h>

#include "builder/graph.hpp"
#include "graph_data.hpp"

namespace quillon::py {

// Never fails: every object maps to some kind. Errors raised by the object's
// own conversion methods are discarded; a pending error of the caller is left
// untouched. May throw std::bad_alloc.
GraphData python_to_graph_data(PyObject* object);

// New reference; null with a Python error set only when memory runs out.
PyObject* graph_data_to_python(const GraphData& value) noexcept;

// A dict (items in dict order) or a list of 2-tuples of str, as ordered
// pairs. Anything else raises ValueError "inputs/outputs must be a dict or
// list of tuples"; a tuple of another length raises ValueError "expected
// tuple of length 2, but got tuple of length N"; a non-tuple item or a
// non-str name raises TypeError naming `argument`. Throws PythonError.
NamePairs parse_mapping(PyObject* object, const char* argument);

}  // namespace quillon::py
