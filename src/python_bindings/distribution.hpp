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
#include "python_bindings/module_state.hpp"
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

// Creates the class for `module`; new reference, or null with an error set.
PyTypeObject* create_distribution_type(PyObject* module);

// The module functions in registration order, ended by a null entry. The
// table lives as long as the process; each function is bound to its module.
PyMethodDef* distribution_functions();

// A new Distribution object of `module` holding `value`. Throws PythonError.
PyRef wrap_distribution(const ModuleState& module, Distribution value);

// Whether `object` is a Distribution of `module`.
bool is_distribution(const ModuleState& module, PyObject* object) noexcept;

// The value held by a Distribution object. Requires: is_distribution(object).
const Distribution& distribution_of(PyObject* object) noexcept;

// New dict: name -> new Distribution object of `module`, in the map's
// iteration order. Throws PythonError.
PyRef dist_context_to_py_dict(const ModuleState& module, const DistMap& dists);

}  // namespace quillon::py
