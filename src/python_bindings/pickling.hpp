// Pickling of Dag, Distribution and StatResult, and of single node callables.
//
// Each picklable class's __reduce__ returns one of the module's private
// reconstructors (_restore_dag, _restore_distribution, _restore_stat_result)
// with a state tuple whose first item is the state's format version. Numbers
// travel as little-endian float64 bytes (exact, NaN payloads kept); shared
// sample vectors travel once and are shared again when read back. Reading a
// state checks everything it is given: a damaged or crafted state raises
// ValueError or TypeError, never anything worse. The reconstructors unpickle
// node callables, which runs code: unpickle only states you trust, as with
// any pickle.
//
// A Dag's node callables and dist transfers travel as bytes of their own
// (pickle_callable): the cache it runs on travels as its settings, not its
// contents (a memory cache is private to its process; a disk cache is opened
// again at the same path).
//
// Requires: the interpreter lock for everything here. Results are new
// references owned by the caller.
#pragma once

#include <Python.h>

#include <string_view>

#include "node.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

// The bytes of one node callable (or dist transfer, `role` names which in
// messages: "function", "dist transfer"): by reference (pickle, for
// module-level functions and other objects pickle can name), else by value
// through cloudpickle when it can be imported (lambdas, closures, functions
// of __main__ such as a notebook's, which cloudpickle takes by value even
// when pickle could name them). A callable neither can pickle raises
// TypeError naming the node of `site` by label and id, chained to the
// pickling error. An exception that is not an Exception passes through.
// Throws PythonError.
PyRef pickle_callable(PyObject* callable, const CallSite& site, std::string_view role = "function");

// The callable `bytes` (made by pickle_callable) stands for. A failure to
// unpickle is raised as it came, with a note naming the node of `site`.
// Throws PythonError.
PyRef unpickle_callable(PyObject* bytes, const CallSite& site, std::string_view role = "function");

// The __reduce__ methods of the three classes, and the __reduce__ of Graph,
// which always raises TypeError (a Graph is a builder; its Dag pickles).
PyObject* reduce_dag(PyObject* self, PyObject* unused);
PyObject* reduce_distribution(PyObject* self, PyObject* unused);
PyObject* reduce_stat_result(PyObject* self, PyObject* unused);
PyObject* reduce_graph(PyObject* self, PyObject* unused);

// The private module functions _restore_dag(state),
// _restore_distribution(state) and _restore_stat_result(state)
// (METH_O, bound to the module: they make objects of its classes).
PyObject* restore_dag(PyObject* module, PyObject* state);
PyObject* restore_distribution(PyObject* module, PyObject* state);
PyObject* restore_stat_result(PyObject* module, PyObject* state);

}  // namespace quillon::py
