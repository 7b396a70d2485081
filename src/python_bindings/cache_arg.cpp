#include "python_bindings/cache_arg.hpp"

#include "python_bindings/args.hpp"
#include "python_bindings/disk_cache.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/memory_cache.hpp"

namespace quillon::py {

std::optional<CacheArg> to_optional_cache(const ModuleState& module, PyObject* value, const char* name) {
  if (is_absent(value)) return std::nullopt;
  return to_cache(module, value, name);
}

void clear_node_with_arguments(const char* function, CacheBackend& backend, const std::string& default_namespace,
                               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Arguments a(function, {"node_id", "version", "namespace"}, 1, args, nargs, kwnames);
  const std::uint64_t node_id = to_u64(a[0], "node_id");
  const std::optional<std::string> version = to_optional_string(a[1], "version");
  const std::optional<std::string> ns = to_optional_string(a[2], "namespace");
  backend.clear_node(ns.value_or(default_namespace), node_id, version);
}

void clear_namespace_with_arguments(const char* function, CacheBackend& backend, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames) {
  Arguments a(function, {"namespace"}, 1, args, nargs, kwnames);
  backend.clear_namespace(to_string(a[0], "namespace"));
}

CacheArg to_cache(const ModuleState& module, PyObject* value, const char* name) {
  CacheArg arg;
  if (module.memory_cache_type != nullptr && PyObject_TypeCheck(value, module.memory_cache_type)) {
    MemoryCacheState& state = reinterpret_cast<MemoryCacheObject*>(value)->state;
    arg.borrow = SharedBorrow(value, state.borrow);
    arg.backend = state.backend;
    arg.namespace_name = state.namespace_name;
    return arg;
  }
  if (DiskCacheState* state = disk_cache_state(module, value)) {
    arg.borrow = SharedBorrow(value, state->borrow);
    if (state->backend->closed()) raise(PyExc_ValueError, std::string("argument '") + name + "': the DiskCache is closed");
    arg.backend = state->backend;
    arg.namespace_name = state->namespace_name;
    return arg;
  }
  raise_argument_type_error(name, "MemoryCache or DiskCache", value);
}

}  // namespace quillon::py
