#include "python_bindings/disk_cache.hpp"

#include <cerrno>
#include <chrono>
#include <new>
#include <optional>
#include <utility>

#include "defaults.hpp"
#include "python_bindings/args.hpp"
#include "python_bindings/cache_arg.hpp"
#include "python_bindings/class_type.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/memory_cache.hpp"
#include "python_bindings/pickle_codec.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

namespace {

DiskCacheObject* as_cache(PyObject* self) { return reinterpret_cast<DiskCacheObject*>(self); }

// The text of a path argument: a str or an os.PathLike giving one.
std::string path_text(PyObject* value) {
  PyRef path = PyRef::steal(PyOS_FSPath(value));
  if (!path) rethrow_argument_error("path");
  if (!PyUnicode_Check(path.get())) raise_argument_type_error("path", "str or os.PathLike of str", value);
  return to_string(path.get(), "path");
}

void raise_os_error(const DiskCacheError& error) {
  PyRef filename = PyRef::steal(PyUnicode_DecodeFSDefault(error.path().c_str()));
  PyRef args = PyRef::steal(Py_BuildValue("(isO)", error.error_number(), error.what(),
                                          filename ? filename.get() : Py_None));
  if (args) PyErr_SetObject(PyExc_OSError, args.get());
  throw_python_error();
}

PyObject* cache_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded([&]() -> PyObject* {
    Arguments a("DiskCache", {"path", "max_entries", "max_bytes", "ttl_seconds", "namespace"}, 1, args, kwargs);
    DiskCacheOptions options;
    options.path = path_text(a[0]);
    options.max_entries = to_optional_u64(a[1], "max_entries");
    if (options.max_entries && *options.max_entries == 0) options.max_entries = 1;
    options.max_bytes = to_optional_u64(a[2], "max_bytes").value_or(kDefaultDiskMaxBytes);
    if (const std::optional<std::uint64_t> ttl = to_optional_u64(a[3], "ttl_seconds")) {
      options.ttl = std::chrono::duration<double>(static_cast<double>(std::min<std::uint64_t>(*ttl, kMaxTtlSeconds)));
    }
    std::string ns = a[4] == nullptr ? std::string(kDefaultNamespace) : to_string(a[4], "namespace");
    options.codec = create_pickle_codec();

    std::shared_ptr<DiskCacheBackend> backend = open_disk_backend(std::move(options));

    PyRef self = check(type->tp_alloc(type, 0));
    new (&as_cache(self.get())->state) DiskCacheState{BorrowFlag{}, std::move(ns), backend};
    warn_cache_notices(state_of_class(type), backend);
    return self.release();
  });
}

void cache_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_cache(self)->state.~DiskCacheState();
  type->tp_free(self);
  Py_DECREF(type);
}

// Runs `body` on the open store under shared access; a closed one raises.
template <typename Body>
PyObject* with_open_cache(PyObject* self, Body&& body) {
  return with_shared_access<DiskCacheObject>(self, [&](DiskCacheState& state) -> PyObject* {
    if (state.backend->closed()) raise(PyExc_ValueError, "operation on a closed DiskCache");
    PyObject* result = body(state);
    warn_cache_notices(state_of_instance(self), state.backend);
    return result;
  });
}

PyObject* get_path(PyObject* self, void*) {
  return with_shared_access<DiskCacheObject>(self, [&](DiskCacheState& state) -> PyObject* {
    return PyUnicode_DecodeFSDefault(state.backend->path().c_str());
  });
}

PyObject* cache_clear(PyObject* self, PyObject*) {
  return with_open_cache(self, [&](DiskCacheState& state) -> PyObject* {
    state.backend->clear_all();
    Py_RETURN_NONE;
  });
}

PyObject* cache_stats(PyObject* self, PyObject*) {
  return with_open_cache(self, [&](DiskCacheState& state) -> PyObject* {
    const DiskCacheStats stats = state.backend->disk_stats();
    PyRef dict = check(cache_stats_to_dict(stats.cache));
    for (const auto& [name, value] :
         {std::pair{"bytes", stats.bytes}, {"max_bytes", stats.max_bytes}, {"store_failures", stats.store_failures}}) {
      PyRef number = check(PyLong_FromUnsignedLongLong(value));
      if (PyDict_SetItemString(dict.get(), name, number.get()) != 0) throw_python_error();
    }
    return dict.release();
  });
}

PyObject* cache_clear_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_open_cache(self, [&](DiskCacheState& state) -> PyObject* {
    clear_node_with_arguments("DiskCache.clear_node", *state.backend, state.namespace_name, args, nargs, kwnames);
    Py_RETURN_NONE;
  });
}

PyObject* cache_clear_namespace(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_open_cache(self, [&](DiskCacheState& state) -> PyObject* {
    clear_namespace_with_arguments("DiskCache.clear_namespace", *state.backend, args, nargs, kwnames);
    Py_RETURN_NONE;
  });
}

PyObject* cache_close(PyObject* self, PyObject*) {
  return with_shared_access<DiskCacheObject>(self, [&](DiskCacheState& state) -> PyObject* {
    state.backend->close();
    warn_cache_notices(state_of_instance(self), state.backend);
    Py_RETURN_NONE;
  });
}

PyObject* cache_enter(PyObject* self, PyObject*) {
  return with_open_cache(self, [&](DiskCacheState&) -> PyObject* { return Py_NewRef(self); });
}

PyObject* cache_exit(PyObject* self, PyObject* const*, Py_ssize_t) { return cache_close(self, nullptr); }

PyMethodDef kMethods[] = {
    {"clear", reinterpret_cast<PyCFunction>(cache_clear), METH_NOARGS,
     "clear($self)\n--\n\nRemove every cached entry and pending computation from this store."},
    {"stats", reinterpret_cast<PyCFunction>(cache_stats), METH_NOARGS,
     "stats($self)\n--\n\nReturn the store's counters as a dict: entries, max_entries, hits, misses, "
     "evictions, expirations (the hits to expirations of this object's own lookups), then bytes, max_bytes and "
     "store_failures. max_entries is 0 when there is no entry limit."},
    {"clear_node", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cache_clear_node)),
     METH_FASTCALL | METH_KEYWORDS, "clear_node($self, node_id, version=..., namespace=...)\n--\n\n"},
    {"clear_namespace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cache_clear_namespace)),
     METH_FASTCALL | METH_KEYWORDS, "clear_namespace($self, namespace)\n--\n\n"},
    {"close", reinterpret_cast<PyCFunction>(cache_close), METH_NOARGS,
     "close($self)\n--\n\nWrite what is pending and close the store. Runs still holding it miss and store "
     "nothing; every other method raises ValueError afterwards. Closing twice does nothing."},
    {"__enter__", reinterpret_cast<PyCFunction>(cache_enter), METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cache_exit)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"namespace", get_cache_namespace<DiskCacheObject>, set_cache_namespace<DiskCacheObject>, nullptr, nullptr},
    {"path", get_path, nullptr, const_cast<char*>("The directory of the store."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "DiskCache(path, max_entries=None, max_bytes=None, ttl_seconds=None, namespace=\"default\")\n--\n\n"
                    "A cache backend in a directory on a local disk, shared by threads and processes and kept "
                    "across restarts. Accepted wherever a MemoryCache is.\n\n"
                    "Args:\n"
                    "    path (str | os.PathLike): The directory; created (owner-only) when missing.\n"
                    "    max_entries (int | None): Entry limit; None means none.\n"
                    "    max_bytes (int | None): Size limit of the stored values; None means 1 GiB.\n"
                    "    ttl_seconds (int | None): Entries expire this long after they were stored (wall clock).\n"
                    "    namespace (str): The namespace of runs that use this cache.\n\n"
                    "Objects that are not numbers, text or number lists are stored by pickling, and reading them "
                    "back unpickles them, which can run code: open only caches you trust. Pickled objects are not "
                    "read from a directory that other users can write to.")},
    {Py_tp_new, reinterpret_cast<void*>(cache_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cache_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillon.DiskCache", sizeof(DiskCacheObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                     kSlots};

void warn(const ModuleState& module, const std::string& message) {
  if (PyErr_WarnEx(module.cache_warning, message.c_str(), 1) != 0) throw_python_error();
}

}  // namespace

std::shared_ptr<DiskCacheBackend> open_disk_backend(DiskCacheOptions options) {
  std::shared_ptr<DiskCacheBackend> backend;
  std::optional<DiskCacheError> failed;
  {
    GilRelease unlocked;
    try {
      backend = DiskCacheBackend::open(std::move(options));
    } catch (const DiskCacheError& error) {
      failed.emplace(error);
    }
  }
  if (failed) raise_os_error(*failed);
  return backend;
}

PyTypeObject* create_disk_cache_type(PyObject* module) { return create_class(module, &kSpec, "DiskCache"); }

DiskCacheState* disk_cache_state(const ModuleState& module, PyObject* value) {
  if (module.disk_cache_type == nullptr || !PyObject_TypeCheck(value, module.disk_cache_type)) return nullptr;
  return &as_cache(value)->state;
}

void warn_cache_notices(const ModuleState& module, const CacheBackendPtr& backend) {
  auto* disk = dynamic_cast<DiskCacheBackend*>(backend.get());
  if (disk == nullptr) return;
  for (const std::string& notice : disk->take_notices()) warn(module, notice);
}

void warn_unstored(const ModuleState& module, const Dag& dag, const std::vector<UnstoredNode>& unstored) {
  for (const UnstoredNode& node : unstored) {
    const Node* found = dag.find_node(node.id);
    CallSite site{node.id, std::nullopt, true};
    if (found != nullptr && found->label) site.label = *found->label;
    warn(module, "quillon: the outputs of " + describe_node(site) +
                     " were not stored in the cache (the run's results are unaffected): " + node.problem);
  }
}

}  // namespace quillon::py
