// The Python class MemoryCache: one shared in-memory cache backend with a
// default namespace, for graphs, DAGs and threads to share results.
//
// The backend lives as long as its last holder (this object, graphs that
// attached it, DAGs built on it, runs using it). Reading the namespace and
// every cache operation take shared access to the object; assigning the
// namespace takes exclusive access, so it fails with "Already borrowed" while
// a run holds the cache. Requires: the interpreter lock for everything here.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "cache/memory_backend.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/module_state.hpp"

namespace quillon::py {

struct MemoryCacheState {
  BorrowFlag borrow;
  std::string namespace_name;
  std::shared_ptr<MemoryCacheBackend> backend;
};

struct MemoryCacheObject {
  PyObject_HEAD
  MemoryCacheState state;
};

// Creates the class for `module`; new reference, or null with an error set.
PyTypeObject* create_memory_cache_type(PyObject* module);

// The six backend counters as a dict, in the order entries, max_entries,
// hits, misses, evictions, expirations. New reference or null.
PyObject* cache_stats_to_dict(const CacheStats& stats) noexcept;

}  // namespace quillon::py
