// The Python class JointDistribution and the module function joint(stat)
// that makes one from a particle result.
//
// A JointDistribution holds the particle values of one StatResult (sharing
// their storage) and never changes, so it needs no borrow flag; it holds no
// Python object. Statistics come from the engine's JointSample; plots go
// through plots.hpp. Requires: the interpreter lock for everything here.
#pragma once

#include <Python.h>

namespace quillon::py {

// Creates the class for `module`; new reference, or null with an error set.
PyTypeObject* create_joint_distribution_type(PyObject* module);

// The definition of the module function joint; lives as long as the process.
PyMethodDef* joint_function();

}  // namespace quillon::py
