// Python callables as node functions, and the hooks through which the engine
// holds Python objects.
//
// A Python node function owns one strong reference to its callable (through
// the engine's PyObjectRef, so its last release may happen on any thread).
// Each call takes the interpreter lock for its whole duration (from any
// thread, any number of times, concurrently), builds the input dict, calls
// the callable with it and converts the returned dict. Failures never reach
// the engine as exceptions: they are written to sys.stderr (a line naming
// the node, then a traceback or a one-line message; nothing when the call
// site does not report) and the call returns no outputs with `failed` set,
// so the result is never cached. An exception that is not an Exception
// stops the run instead (interpreter_control.hpp). Callers must not hold an engine
// mutex.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

#include "node.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

// Whether `callable` is callable is not checked; calling a non-callable
// fails at run time like any other raising callable.
// Requires: the interpreter lock (a reference is taken).
NodeFunction create_python_node_function(PyObject* callable);

// The function of a node added without a callable: no outputs, never fails,
// never touches the interpreter.
NodeFunction noop_node_function();

// The callable of a node function made by create_python_node_function, when
// the function is the only owner of that reference (always, unless the
// reference was shared); null for every other function. Borrowed.
// Requires: the interpreter lock.
PyObject* held_callable(const NodeCallable& function) noexcept;

// The callable of a node function made by create_python_node_function,
// however many owners its reference has; null for every other function.
// Borrowed: valid while `function` lives.
PyObject* python_callable(const NodeCallable& function) noexcept;

// A call made elsewhere (an executor's worker), as a local call of the node
// function would treat it. offer_result: what the callable returned, its
// outputs offered to `sink` when it is a dict, otherwise reported as a
// local call reports it (false). report_failure: a call that raised there,
// `text` (a traceback or a line) under the node's header line as the site
// asks, `reason` noted for the run's report; false. input_dict: a call's
// inputs as the dict a local call passes. Requires: the interpreter lock;
// throws RunInterrupted when the run must stop, PythonError otherwise.
bool offer_result(PyObject* result, OutputSink& sink, const CallSite& site);
bool report_failure(const CallSite& site, PyObject* text, std::string_view reason);
PyRef input_dict(std::span<const NamedValue> inputs);

// Installs retain/release/as_f64 for PyObject values. Called once at import.
void install_py_object_hooks();

// Calls sys.stderr.write(text); every failure on the way is ignored.
// Requires: the interpreter lock.
void write_to_stderr(PyObject* text) noexcept;
void write_to_stderr(const char* text) noexcept;

}  // namespace quillon::py
