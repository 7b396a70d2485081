// Value equality of the Python classes Distribution and StatResult
// (stat_result/equality.hpp says what equal means).
//
// Distribution and StatResult are immutable values: == compares values and
// hash() agrees with it, so equal ones are one key of a dict.
// Comparing with an object of another class gives NotImplemented; only ==
// and != are defined. Requires: the interpreter lock.
#pragma once

#include <Python.h>

namespace quillon::py {

// The tp_richcompare and tp_hash slots of Distribution.
PyObject* distribution_richcompare(PyObject* self, PyObject* other, int op);
Py_hash_t distribution_hash(PyObject* self);

// The tp_richcompare and tp_hash slots of StatResult.
PyObject* stat_result_richcompare(PyObject* self, PyObject* other, int op);
Py_hash_t stat_result_hash(PyObject* self);

}  // namespace quillon::py
