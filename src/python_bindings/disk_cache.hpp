// The Python class DiskCache: a cache backend in a directory, shared by
// threads and processes and kept across restarts (cache/disk_backend.hpp),
// with a default namespace like MemoryCache's. Opaque values are pickled.
//
// Also the warnings of persistent caching (quillon.CacheWarning): what the
// store reports (damage set aside, a full disk, an untrusted directory) and
// the nodes whose outputs could not be stored, once per node per run.
// Requires: the interpreter lock for everything here.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "cache/disk_backend.hpp"
#include "dag/dag.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/module_state.hpp"

namespace quillon::py {

struct DiskCacheState {
  BorrowFlag borrow;
  std::string namespace_name;
  std::shared_ptr<DiskCacheBackend> backend;
};

struct DiskCacheObject {
  PyObject_HEAD
  DiskCacheState state;
};

// Creates the class for `module`; new reference, or null with an error set.
PyTypeObject* create_disk_cache_type(PyObject* module);

// Opens a disk backend with the interpreter lock released (opening may wait
// for another process's lock on the database); a failure is raised as
// OSError with the errno and the path. Requires: the interpreter lock.
std::shared_ptr<DiskCacheBackend> open_disk_backend(DiskCacheOptions options);

// The DiskCache state of `value` when it is one of `module`'s, else null.
DiskCacheState* disk_cache_state(const ModuleState& module, PyObject* value);

// Warns (CacheWarning) with every notice the backend gathered, when it is a
// disk backend, and for every node of `result` whose outputs it did not
// store. Throws PythonError when a warning filter turns one into an error.
void warn_cache_notices(const ModuleState& module, const CacheBackendPtr& backend);
void warn_unstored(const ModuleState& module, const Dag& dag, const std::vector<UnstoredNode>& unstored);

}  // namespace quillon::py
