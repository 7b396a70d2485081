// Python callables as dist transfers (analytical transfers of distributions
// through a node, attached with Graph.set_dist_transfer).
//
// The transfer owns one strong reference to its callable through the
// engine's PyObjectRef, so its last release may happen on any thread. Each
// call takes the interpreter lock for its whole duration, from any thread,
// any number of times, concurrently: it builds a dict of new Distribution
// objects keyed by impl name, calls the callable with it and reads the
// returned dict. Every failure (the callable raised, returned None or
// anything but a dict, a key that is not a str, no Distribution among the
// values) is silent and means "no answer": the node is then sampled. An
// exception that is not an Exception stops the run instead (interpreter_control.hpp).
// Callers must not hold an engine mutex.
#pragma once

#include <Python.h>

#include "node.hpp"
#include "python_bindings/module_state.hpp"

namespace quillon::py {

// Whether `callable` is callable is not checked; a callable that cannot be
// called simply never answers. The transfer makes and recognises the
// Distribution objects of `module`, which must outlive it: transfers run only
// inside propagations of that module's Dags, which keep it alive.
// Requires: the interpreter lock (a reference is taken).
DistTransfer create_python_dist_transfer(const ModuleState& module, PyObject* callable);

// The callable of a transfer made by create_python_dist_transfer, when the
// transfer is the only owner of that reference (always, unless the transfer's
// function object was copied); null for every other transfer. Borrowed.
// Requires: the interpreter lock.
PyObject* held_callable(const DistTransferFn& transfer) noexcept;

// The callable of a transfer made by create_python_dist_transfer, however
// many owners its reference has; null for every other transfer. Borrowed:
// valid while `transfer` lives.
PyObject* python_callable(const DistTransferFn& transfer) noexcept;

}  // namespace quillon::py
