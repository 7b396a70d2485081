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
