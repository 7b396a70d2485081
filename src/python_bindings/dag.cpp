#include "python_bindings/dag.hpp"

#include <new>
#include <string_view>
#include <utility>

#include "python_bindings/args.hpp"
#include "python_bindings/class_type.hpp"
#include "python_bindings/convert.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/memory_cache.hpp"
#include "python_bindings/py_ref.hpp"
#include "python_bindings/release_queue.hpp"

namespace quillon::py {

namespace {

PyTypeObject* g_type = nullptr;  // created once per process, never freed

DagObject* as_dag(PyObject* self) { return reinterpret_cast<DagObject*>(self); }

PyRef text(std::string_view value) {
  return check(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

void set_item(PyObject* dict, const char* key, PyRef value) {
  if (PyDict_SetItemString(dict, key, value.get()) != 0) throw_python_error();
}

// How users group miss reasons in the per-node report.
const char* reason_category(CacheMissReason reason) {
  switch (reason) {
    case CacheMissReason::kMissingVersion:
    case CacheMissReason::kNonCacheable:
    case CacheMissReason::kUnsupportedInput:
      return "incompatibility";
    case CacheMissReason::kInvalidated:
    case CacheMissReason::kCodeChanged:
    case CacheMissReason::kInputChanged:
    case CacheMissReason::kDependencyChanged:
      return "invalidation";
    case CacheMissReason::kDisabled:
    case CacheMissReason::kNotFound:
    case CacheMissReason::kExpired:
      break;
  }
  return "miss";
}

PyRef context_to_dict(const DataMap& context) {
  PyRef dict = check(PyDict_New());
  for (const auto& [key, value] : context) {
    PyRef py_value = check(graph_data_to_python(value));
    if (PyDict_SetItem(dict.get(), text(key).get(), py_value.get()) != 0) throw_python_error();
  }
  return dict;
}

PyRef run_stats_to_dict(const CacheRunStats& stats) {
  PyRef dict = check(PyDict_New());
  set_item(dict.get(), "hits", check(PyLong_FromUnsignedLongLong(stats.hits)));
  set_item(dict.get(), "misses", check(PyLong_FromUnsignedLongLong(stats.misses)));
  set_item(dict.get(), "stores", check(PyLong_FromUnsignedLongLong(stats.stores)));
  PyRef reasons = check(PyDict_New());
  for (std::size_t code = 0; code < kCacheMissReasonCount; ++code) {
    if (stats.reason_counts[code] == 0) continue;
    const auto reason = static_cast<CacheMissReason>(code);
    PyRef count = check(PyLong_FromUnsignedLongLong(stats.reason_counts[code]));
    if (PyDict_SetItem(reasons.get(), text(to_string(reason)).get(), count.get()) != 0) throw_python_error();
  }
  set_item(dict.get(), "reason_counts", std::move(reasons));
  return dict;
}

PyRef node_status_to_dict(const NodeCacheStatus& status) {
  PyRef dict = check(PyDict_New());
  set_item(dict.get(), "hit", PyRef::borrow(status.hit ? Py_True : Py_False));
  set_item(dict.get(), "stored", PyRef::borrow(status.stored ? Py_True : Py_False));
  set_item(dict.get(), "reason", status.reason ? text(to_string(*status.reason)) : PyRef::borrow(Py_None));
  const char* category = status.hit ? "hit" : status.reason ? reason_category(*status.reason) : "miss";
  set_item(dict.get(), "category", text(category));
  set_item(dict.get(), "cache_key", status.cache_key ? text(*status.cache_key) : PyRef::borrow(Py_None));
  return dict;
}

PyObject* detailed_result(PyRef context, const ExecutionResult& result) {
  PyRef dict = check(PyDict_New());
  set_item(dict.get(), "context", std::move(context));
  set_item(dict.get(), "cache_stats", run_stats_to_dict(result.cache_stats));
  PyRef nodes = check(PyDict_New());
  for (const auto& [id, status] : result.node_statuses) {
    PyRef key = check(PyLong_FromUnsignedLongLong(id));
    if (PyDict_SetItem(nodes.get(), key.get(), node_status_to_dict(status).get()) != 0) throw_python_error();
  }
  set_item(dict.get(), "node_cache", std::move(nodes));
  return dict.release();
}

PyObject* dag_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

void dag_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_dag(self)->state.~DagState();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* dag_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    DagState& state = as_dag(self)->state;
    SharedBorrow borrow(self, state.borrow);
    Arguments a("Dag.execute",
                {"parallel", "max_threads", "cache", "cache_depth", "cache_namespace", "cache_backend", "detailed"},
                0, args, nargs, kwnames);
    const bool parallel = a[0] != nullptr && to_bool(a[0], "parallel");
    const std::optional<std::uint64_t> max_threads = to_optional_u64(a[1], "max_threads");
    const bool cache = a[2] == nullptr || to_bool(a[2], "cache");
    const std::string depth_text = a[3] == nullptr ? std::string("transitive") : to_string(a[3], "cache_depth");
    const std::optional<std::string> cache_namespace = to_optional_string(a[4], "cache_namespace");
    // Held under shared access until the result is built.
    const std::optional<MemoryCacheArg> backend_arg = to_optional_memory_cache(a[5], "cache_backend");
    const bool detailed = a[6] != nullptr && to_bool(a[6], "detailed");

    const std::optional<CacheDepth> depth = parse_cache_depth(depth_text);
    if (!depth) raise(PyExc_ValueError, "cache_depth must be one of: none, shallow, transitive");

    ExecutionOptions options;
    options.enabled = cache;
    options.depth = *depth;
    if (cache_namespace) {
      options.namespace_name = *cache_namespace;
    } else if (backend_arg) {
      options.namespace_name = backend_arg->state().namespace_name;
    } else if (state.namespace_name) {
      options.namespace_name = *state.namespace_name;
    } else {
      options.namespace_name = "default";
    }
    CacheBackendPtr backend;
    if (backend_arg) backend = backend_arg->state().backend;
    std::optional<std::size_t> threads;
    if (max_threads) threads = static_cast<std::size_t>(*max_threads);

    const Dag& dag = *state.dag;
    ExecutionResult result;
    {
      // The engine never calls into Python except through node functions,
      // which take the lock themselves.
      GilRelease unlocked;
      result = backend ? dag.execute_detailed_with_backend_options(parallel, threads, options, std::move(backend))
                       : dag.execute_detailed_with_options(parallel, threads, options);
    }
    PyRef context = context_to_dict(result.context);
    if (!detailed) return context.release();
    return detailed_result(std::move(context), result);
  });
}

PyObject* dag_to_mermaid(PyObject* self, PyObject*) {
  return call_guarded([&]() -> PyObject* {
    DagState& state = as_dag(self)->state;
    SharedBorrow borrow(self, state.borrow);
    return text(state.dag->to_mermaid()).release();
  });
}

PyObject* dag_node_count(PyObject* self, PyObject*) {
  return call_guarded([&]() -> PyObject* {
    DagState& state = as_dag(self)->state;
    SharedBorrow borrow(self, state.borrow);
    return PyLong_FromSize_t(state.dag->node_count());
  });
}

PyObject* dag_cache_stats(PyObject* self, PyObject*) {
  return call_guarded([&]() -> PyObject* {
    DagState& state = as_dag(self)->state;
    SharedBorrow borrow(self, state.borrow);
    return cache_stats_to_dict(state.dag->cache_backend()->stats());
  });
}

PyObject* dag_clear_cache(PyObject* self, PyObject*) {
  return call_guarded([&]() -> PyObject* {
    DagState& state = as_dag(self)->state;
    SharedBorrow borrow(self, state.borrow);
    DeferredReleaseScope defer;  // dropped entries must not run Python code under the backend's lock
    state.dag->cache_backend()->clear_all();
    Py_RETURN_NONE;
  });
}

PyObject* dag_clear_cache_namespace(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    DagState& state = as_dag(self)->state;
    SharedBorrow borrow(self, state.borrow);
    Arguments a("Dag.clear_cache_namespace", {"namespace"}, 1, args, nargs, kwnames);
    const std::string ns = to_string(a[0], "namespace");
    DeferredReleaseScope defer;
    state.dag->cache_backend()->clear_namespace(ns);
    Py_RETURN_NONE;
  });
}

PyObject* dag_clear_cache_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    DagState& state = as_dag(self)->state;
    SharedBorrow borrow(self, state.borrow);
    Arguments a("Dag.clear_cache_node", {"namespace", "node_id", "version"}, 2, args, nargs, kwnames);
    const std::string ns = to_string(a[0], "namespace");
    const std::uint64_t node_id = to_u64(a[1], "node_id");
    const std::optional<std::string> version = to_optional_string(a[2], "version");
    DeferredReleaseScope defer;
    state.dag->cache_backend()->clear_node(ns, node_id, version);
    Py_RETURN_NONE;
  });
}

PyObject* dag_node_labels(PyObject* self, PyObject*) {
  return call_guarded([&]() -> PyObject* {
    DagState& state = as_dag(self)->state;
    SharedBorrow borrow(self, state.borrow);
    const std::vector<std::string> labels = state.dag->node_labels();
    PyRef list = check(PyList_New(static_cast<Py_ssize_t>(labels.size())));
    for (std::size_t i = 0; i < labels.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text(labels[i]).release());  // steals
    }
    return list.release();
  });
}

PyObject* id_list(const std::vector<std::uint64_t>& ids) {
  PyRef list = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromUnsignedLongLong(ids[i])).release());
  }
  return list.release();
}

PyObject* dag_branch_ids(PyObject* self, PyObject*) {
  return call_guarded([&]() -> PyObject* {
    DagState& state = as_dag(self)->state;
    SharedBorrow borrow(self, state.borrow);
    return id_list(state.dag->branch_ids());
  });
}

PyObject* dag_variant_indices(PyObject* self, PyObject*) {
  return call_guarded([&]() -> PyObject* {
    DagState& state = as_dag(self)->state;
    SharedBorrow borrow(self, state.borrow);
    return id_list(state.dag->variant_indices());
  });
}

template <typename Fn>
PyCFunction fastcall(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

// Method table in the order users see in dir() and help(). The uncertainty
// layer's predict_at and predict go last.
PyMethodDef kMethods[] = {
    {"execute", fastcall(dag_execute), kFastKw,
     "execute($self, parallel=..., max_threads=..., cache=..., cache_depth=..., cache_namespace=..., "
     "cache_backend=..., detailed=...)\n--\n\n"
     "Execute the DAG\n\nArgs:\n"
     "    parallel (bool): If True, execute nodes at the same level concurrently. Default: False\n"
     "    max_threads (Optional[int]): Maximum number of threads to use per level. None = unlimited. "
     "Default: None\n\nReturns:\n    Dictionary containing the execution context"},
    {"to_mermaid", dag_to_mermaid, METH_NOARGS,
     "to_mermaid($self)\n--\n\n"
     "Get Mermaid diagram representation\n\nReturns:\n    String containing the Mermaid diagram"},
    {"node_count", dag_node_count, METH_NOARGS,
     "node_count($self)\n--\n\nGet the number of nodes in the DAG\n\nReturns:\n    Number of nodes"},
    {"cache_stats", dag_cache_stats, METH_NOARGS,
     "cache_stats($self)\n--\n\nReturn aggregate cache backend stats for this DAG."},
    {"clear_cache", dag_clear_cache, METH_NOARGS,
     "clear_cache($self)\n--\n\nClear all cached node results from the attached backend."},
    {"clear_cache_namespace", fastcall(dag_clear_cache_namespace), kFastKw,
     "clear_cache_namespace($self, namespace)\n--\n\nClear cached node results for a specific namespace."},
    {"clear_cache_node", fastcall(dag_clear_cache_node), kFastKw,
     "clear_cache_node($self, namespace, node_id, version=...)\n--\n\n"},
    {"node_labels", dag_node_labels, METH_NOARGS,
     "node_labels($self)\n--\n\n"
     "Return a sorted list of unique node labels present in the DAG.\n\n"
     "Useful for discovering valid values to pass as `at_node` to `predict_at()`.\n\n"
     "Example::\n\n    dag.node_labels()   # [\"AddNoise\", \"Scale\", \"Source\"]"},
    {"branch_ids", dag_branch_ids, METH_NOARGS,
     "branch_ids($self)\n--\n\nReturn a sorted list of unique branch IDs present in the DAG."},
    {"variant_indices", dag_variant_indices, METH_NOARGS,
     "variant_indices($self)\n--\n\nReturn a sorted list of unique variant indices present in the DAG."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for DAG executor")},
    {Py_tp_new, reinterpret_cast<void*>(dag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dag_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillon.Dag", sizeof(DagObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyObject* create_dag_type() { return create_class(&kSpec, "Dag", &g_type); }

PyObject* wrap_dag(Dag dag, std::optional<std::string> namespace_name) {
  if (g_type == nullptr) raise(PyExc_SystemError, "the Dag type is not initialised");
  PyRef self = check(g_type->tp_alloc(g_type, 0));
  DagState* state = new (&as_dag(self.get())->state) DagState{};
  state->dag.emplace(std::move(dag));
  state->namespace_name = std::move(namespace_name);
  return self.release();
}

}  // namespace quillon::py
