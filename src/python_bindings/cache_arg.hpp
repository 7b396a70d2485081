// A `cache_backend` argument: a MemoryCache or a DiskCache, held under
// shared access (a run or a build using it keeps its namespace from being
// reassigned meanwhile) for as long as the argument lives.
// Requires: the interpreter lock.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "cache/records.hpp"
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

}  // namespace quillon::py
