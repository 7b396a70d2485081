#include "python_bindings/memory_cache.hpp"

#include <chrono>
#include <new>
#include <utility>

#include "defaults.hpp"
#include "python_bindings/args.hpp"
#include "python_bindings/cache_arg.hpp"
#include "python_bindings/class_type.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/held_references.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

namespace {

MemoryCacheObject* as_cache(PyObject* self) { return reinterpret_cast<MemoryCacheObject*>(self); }

PyObject* cache_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded([&]() -> PyObject* {
    Arguments a("MemoryCache", {"max_entries", "ttl_seconds", "namespace"}, 0, args, kwargs);
    const std::uint64_t max_entries = to_optional_u64(a[0], "max_entries").value_or(kDefaultMaxEntries);
    const std::optional<std::uint64_t> ttl_seconds = to_optional_u64(a[1], "ttl_seconds");
    std::string ns = a[2] == nullptr ? std::string(kDefaultNamespace) : to_string(a[2], "namespace");
    std::optional<MemoryCacheBackend::Clock::duration> ttl;
    if (ttl_seconds) ttl = capped_ttl(*ttl_seconds);
    auto backend = MemoryCacheBackend::create(static_cast<std::size_t>(max_entries), ttl);

    PyRef self = check(type->tp_alloc(type, 0));
    new (&as_cache(self.get())->state) MemoryCacheState{BorrowFlag{}, std::move(ns), std::move(backend)};
    return self.release();
  });
}

void cache_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  as_cache(self)->state.~MemoryCacheState();
  type->tp_free(self);
  Py_DECREF(type);
}

// The stored values of the backend, when this object alone holds it
// (held_references.hpp). A borrowed cache (a run is using it) reports
// nothing.
int cache_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const MemoryCacheState& state = as_cache(self)->state;
  if (state.borrow.active()) return 0;
  return visit_held_references([&](HeldReferences& held) { held(state.backend); }, visit, arg);
}

// Breaks a cycle through the stored values: empties the backend when this
// object alone holds it (otherwise none of its values were reported). Never
// while borrowed.
int cache_clear_references(PyObject* self) {
  MemoryCacheState& state = as_cache(self)->state;
  if (state.borrow.active() || state.backend.use_count() != 1) return 0;
  state.backend->clear_all();  // drops the values after unlocking the backend
  return 0;
}

PyObject* cache_clear(PyObject* self, PyObject*) {
  return with_shared_access<MemoryCacheObject>(self, [&](MemoryCacheState& state) -> PyObject* {
    state.backend->clear_all();
    Py_RETURN_NONE;
  });
}

PyObject* cache_stats(PyObject* self, PyObject*) {
  return with_shared_access<MemoryCacheObject>(self, [&](MemoryCacheState& state) -> PyObject* {
    return cache_stats_to_dict(state.backend->stats());
  });
}

PyObject* cache_clear_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_shared_access<MemoryCacheObject>(self, [&](MemoryCacheState& state) -> PyObject* {
    clear_node_with_arguments("MemoryCache.clear_node", *state.backend, state.namespace_name, args, nargs, kwnames);
    Py_RETURN_NONE;
  });
}

PyObject* cache_clear_namespace(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_shared_access<MemoryCacheObject>(self, [&](MemoryCacheState& state) -> PyObject* {
    clear_namespace_with_arguments("MemoryCache.clear_namespace", *state.backend, args, nargs, kwnames);
    Py_RETURN_NONE;
  });
}

PyMethodDef kMethods[] = {
    {"clear", reinterpret_cast<PyCFunction>(cache_clear), METH_NOARGS,
     "clear($self)\n--\n\nRemove every cached entry and pending computation from this backend."},
    {"stats", reinterpret_cast<PyCFunction>(cache_stats), METH_NOARGS,
     "stats($self)\n--\n\nReturn the backend's counters as a dict: entries, max_entries, hits, misses, "
     "evictions, expirations."},
    {"clear_node", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cache_clear_node)),
     METH_FASTCALL | METH_KEYWORDS, "clear_node($self, node_id, version=..., namespace=...)\n--\n\n"},
    {"clear_namespace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cache_clear_namespace)),
     METH_FASTCALL | METH_KEYWORDS, "clear_namespace($self, namespace)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"namespace", get_cache_namespace<MemoryCacheObject>, set_cache_namespace<MemoryCacheObject>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python-accessible shared in-memory cache backend.")},
    {Py_tp_new, reinterpret_cast<void*>(cache_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cache_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(cache_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(cache_clear_references)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillon.MemoryCache", sizeof(MemoryCacheObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, kSlots};

}  // namespace

PyTypeObject* create_memory_cache_type(PyObject* module) { return create_class(module, &kSpec, "MemoryCache"); }

PyObject* cache_stats_to_dict(const CacheStats& stats) noexcept {
  return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K}", "entries", static_cast<unsigned long long>(stats.entries),
                       "max_entries", static_cast<unsigned long long>(stats.max_entries), "hits",
                       static_cast<unsigned long long>(stats.hits), "misses",
                       static_cast<unsigned long long>(stats.misses), "evictions",
                       static_cast<unsigned long long>(stats.evictions), "expirations",
                       static_cast<unsigned long long>(stats.expirations));
}

}  // namespace quillon::py
