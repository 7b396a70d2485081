// The Python class Distribution and the seven module functions that make
// one (normal, uniform, beta, gamma, lognormal, deterministic, empirical).
//
// A Distribution object holds one immutable engine Distribution; it has no
// constructor of its own. Every method takes shared access to its object, so
// any number of readers may use one at once. Handing a distribution out
// always makes a new object around a copy (an Empirical copy shares its
// sample vector). Requires: the interpreter lock for everything here.
#pragma once

#include <Python.h>

#include "distribution/distribution.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

struct DistributionState {
  BorrowFlag borrow;
  Distribution value;
};

struct DistributionObject {
  PyObject_HEAD
  DistributionState state;
};

// Creates the type object (once per process); new reference.
PyObject* create_distribution_type();

// The module functions in registration order, ended by a null entry. The
// table lives as long as the process.
PyMethodDef* distribution_functions();

// A new Distribution object holding `value`. Throws PythonError.
PyRef wrap_distribution(Distribution value);

// Whether `object` is a Distribution (or an instance of a subclass).
bool is_distribution(PyObject* object) noexcept;

// The value held by a Distribution object. Requires: is_distribution(object).
const Distribution& distribution_of(PyObject* object) noexcept;

// New dict: name -> new Distribution object, in the map's iteration order.
// Throws PythonError.
PyRef dist_context_to_py_dict(const DistMap& dists);

}  // namespace quillon::py
