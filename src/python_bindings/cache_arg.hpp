// A `cache_backend` argument: a MemoryCache or a DiskCache, held under
// shared access (a run or a build using it keeps its namespace from being
// reassigned meanwhile) for as long as the argument lives.
// Requires: the interpreter lock.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "cache/records.hpp"
#include "python_bindings/args.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/module_state.hpp"

namespace quillon::py {

struct CacheArg {
  SharedBorrow borrow;
  CacheBackendPtr backend;
  std::string namespace_name;  // the cache object's namespace when passed
};

// None or absent -> nullopt; a MemoryCache or DiskCache of `module` -> the
// argument; anything else raises TypeError naming `name`. A closed DiskCache
// raises ValueError. Throws PythonError.
std::optional<CacheArg> to_optional_cache(const ModuleState& module, PyObject* value, const char* name);
CacheArg to_cache(const ModuleState& module, PyObject* value, const char* name);

// clear_node(node_id, version=None, namespace=None) and
// clear_namespace(namespace) of both cache classes, on `backend`;
// `default_namespace` is the cache object's. `function` names the method in
// messages. Throws PythonError.
void clear_node_with_arguments(const char* function, CacheBackend& backend, const std::string& default_namespace,
                               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
void clear_namespace_with_arguments(const char* function, CacheBackend& backend, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames);

// The `namespace` property of both cache classes (`Object` holds a `state`
// with a borrow flag and a namespace_name): reading takes shared access,
// assigning exclusive access, so it fails while a run holds the cache.
template <typename Object>
PyObject* get_cache_namespace(PyObject* self, void*) {
  return with_shared_access<Object>(self, [&](auto& state) -> PyObject* {
    const std::string& ns = state.namespace_name;
    return PyUnicode_FromStringAndSize(ns.data(), static_cast<Py_ssize_t>(ns.size()));
  });
}

template <typename Object>
int set_cache_namespace(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  return with_exclusive_access<Object>(self, [&](auto& state) -> int {
    state.namespace_name = to_string(value, "namespace");
    return 0;
  });
}

}  // namespace quillon::py
