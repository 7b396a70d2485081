// The state of one quillon module object: its class objects and its warning
// category.
//
// Each module object made by importing quillon owns the classes created for
// it at its execution (module.cpp); nothing about them is process-global.
// Code finds the state through the object it works on: every class is
// created with its module and none can be subclassed, so the type of an
// instance names its module directly. A module function finds it through
// the module it is bound to. The state lives as long as its module, which
// every class (and so every instance) keeps alive.
// Requires: the interpreter lock for everything here.
#pragma once

#include <Python.h>

namespace quillon::py {

// Zero-filled by the interpreter when the module object is made; the class
// pointers are strong references, set at execution and dropped when the
// module is cleared.
struct ModuleState {
  PyTypeObject* memory_cache_type;
  PyTypeObject* graph_type;
  PyTypeObject* dag_type;
  PyTypeObject* distribution_type;
  PyTypeObject* stat_result_type;
  // quillon.GraphWarning (graph_warnings.hpp).
  PyObject* graph_warning;
  PyTypeObject* disk_cache_type;
  // quillon.CacheWarning (disk_cache.hpp).
  PyObject* cache_warning;
  PyTypeObject* joint_distribution_type;
  // The module run from plotting.py, made by the first plot (plots.hpp).
  PyObject* plotting;
  // quillon.Explanation, what quillon.explain returns (display.hpp).
  PyTypeObject* explanation_type;
  // The module run from executor.py, made by the first run on an executor or
  // the first task a worker runs (executor.hpp).
  PyObject* executor;
};

// The state of `module`, a quillon module object.
inline ModuleState& state_of_module(PyObject* module) noexcept {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that created `type`, one of this module's classes.
inline ModuleState& state_of_class(PyTypeObject* type) noexcept {
  return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

// The state of the module whose class `instance` is an instance of.
inline ModuleState& state_of_instance(PyObject* instance) noexcept { return state_of_class(Py_TYPE(instance)); }

}  // namespace quillon::py
