// Value equality of the Python classes Distribution and StatResult
// (stat_result/equality.hpp says what equal means).
//
// Distribution is an immutable value: == compares values and hash() agrees
// with it, so equal distributions are one key of a dict. StatResult compares
// by value too and is unhashable, as containers that compare by value are.
// Comparing with an object of another class gives NotImplemented; only ==
// and != are defined. Requires: the interpreter lock.
#pragma once

#include <Python.h>

namespace quillon::py {

// The tp_richcompare and tp_hash slots of Distribution.
PyObject* distribution_richcompare(PyObject* self, PyObject* other, int op);
Py_hash_t distribution_hash(PyObject* self);

// The tp_richcompare slot of StatResult.
PyObject* stat_result_richcompare(PyObject* self, PyObject* other, int op);

}  // namespace quillon::py
