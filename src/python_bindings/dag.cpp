#include "python_bindings/dag.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "uncertainty/predict.hpp"
#include "defaults.hpp"
#include "python_bindings/args.hpp"
#include "python_bindings/class_type.hpp"
#include "python_bindings/container_walk.hpp"
#include "python_bindings/convert.hpp"
#include "python_bindings/display.hpp"
#include "python_bindings/distribution.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/executor.hpp"
#include "python_bindings/held_references.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/graph_warnings.hpp"
#include "python_bindings/cache_arg.hpp"
#include "python_bindings/disk_cache.hpp"
#include "python_bindings/memory_cache.hpp"
#include "python_bindings/interpreter_control.hpp"
#include "python_bindings/pickling.hpp"
#include "python_bindings/py_ref.hpp"
#include "python_bindings/progress.hpp"
#include "python_bindings/stat_result.hpp"

namespace quillon::py {

namespace {

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

// A new empty dict with room for `size` entries. Made at its final size, the
// result of a 1,000-node chain comes back about 8% faster than through the
// resizes of a dict that grows entry by entry; the presizing constructor is
// private to the interpreter, so it is used only on the versions that
// declare it, and the public constructor everywhere else.
PyObject* new_dict_with_room(std::size_t size) {
#if PY_VERSION_HEX < 0x030D0000
  return _PyDict_NewPresized(static_cast<Py_ssize_t>(size));
#else
  static_cast<void>(size);
  return PyDict_New();
#endif
}

// The context as a dict, in the context's own order. Keys of the Dag's own
// layout reuse the state's str objects.
PyRef context_to_dict(const ExecutionContext& context, DagState& state) {
  PyRef dict = check(new_dict_with_room(context.size()));
  auto add = [&](PyObject* key, const GraphData& value) {
    PyRef py_value = check(value.kind() == DataKind::kFloat ? PyFloat_FromDouble(value.as_float())
                                                             : graph_data_to_python(value));
    if (PyDict_SetItem(dict.get(), key, py_value.get()) != 0) throw_python_error();
  };
  // Every run of a Dag, whatever its backend, keeps its values in the Dag's
  // own layout.
  const ContextLayout* layout = context.layout().get();
  if (layout != state.dag->context_layout().get()) raise(PyExc_SystemError, "execution context of another Dag");
  if (layout != nullptr) {
    if (state.key_objects.size() != layout->size()) {
      std::vector<PyRef> keys;
      keys.reserve(layout->size());
      for (std::uint32_t slot = 0; slot < layout->size(); ++slot) {
        PyObject* key = text(layout->key(slot)).release();
        PyUnicode_InternInPlace(&key);
        keys.push_back(PyRef::steal(key));
      }
      state.key_objects = std::move(keys);
    }
    context.for_each_slot(
        [&](std::uint32_t slot, const GraphData& value) { add(state.key_objects[slot].get(), value); });
  }
  for (const auto& [key, value] : context.unslotted()) add(text(key).get(), value);
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

// node id -> {"label", "seconds", "failed", "error"} for every node run.
PyRef node_runs_to_dict(const Dag& dag, const ExecutionResult& result) {
  PyRef runs = check(PyDict_New());
  for (const NodeId id : dag.topological_order()) {
    auto it = result.node_runs.find(id);
    if (it == result.node_runs.end()) continue;
    const NodeRun& run = it->second;
    const Node* node = dag.find_node(id);
    PyRef entry = check(PyDict_New());
    set_item(entry.get(), "label", node != nullptr && node->label ? text(*node->label) : PyRef::borrow(Py_None));
    set_item(entry.get(), "seconds", check(PyFloat_FromDouble(run.seconds)));
    set_item(entry.get(), "failed", PyRef::borrow(run.failed ? Py_True : Py_False));
    set_item(entry.get(), "error", run.error ? text(*run.error) : PyRef::borrow(Py_None));
    PyRef key = check(PyLong_FromUnsignedLongLong(id));
    if (PyDict_SetItem(runs.get(), key.get(), entry.get()) != 0) throw_python_error();
  }
  return runs;
}

PyObject* detailed_result(PyRef context, const ExecutionResult& result, const Dag& dag) {
  PyRef dict = check(PyDict_New());
  set_item(dict.get(), "context", std::move(context));
  set_item(dict.get(), "cache_stats", run_stats_to_dict(result.cache_stats));
  PyRef nodes = check(PyDict_New());
  for (const auto& [id, status] : result.node_statuses) {
    PyRef key = check(PyLong_FromUnsignedLongLong(id));
    if (PyDict_SetItem(nodes.get(), key.get(), node_status_to_dict(status).get()) != 0) throw_python_error();
  }
  set_item(dict.get(), "node_cache", std::move(nodes));
  set_item(dict.get(), "node_runs", node_runs_to_dict(dag, result));
  return dict.release();
}

PyObject* dag_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

void dag_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  as_dag(self)->state.~DagState();
  type->tp_free(self);
  Py_DECREF(type);
}

// The callables of the nodes, and the values of the cache backend, that
// this Dag alone holds (held_references.hpp). A borrowed Dag (a run is using
// it, possibly on other threads) reports nothing.
int dag_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const DagState& state = as_dag(self)->state;
  if (state.borrow.active() || !state.dag) return 0;
  return visit_held_references(
      [&](HeldReferences& held) {
        for (const Node& node : state.dag->nodes()) held(node);
        held(state.dag->cache_backend());
      },
      visit, arg);
}

// Breaks a cycle through this Dag: drops the engine Dag, after which every
// method raises. Never while borrowed, so never under a run.
int dag_clear(PyObject* self) {
  DagState& state = as_dag(self)->state;
  if (state.borrow.active()) return 0;
  std::optional<Dag> dag = std::move(state.dag);
  state.dag.reset();
  std::vector<PyRef> keys = std::move(state.key_objects);
  state.key_objects.clear();
  return 0;  // the callables are released here, once the state is consistent
}

// Runs `body(state)` under shared access to a Dag that still holds its engine
// Dag (see dag_clear).
template <typename Body>
PyObject* with_dag(PyObject* self, Body&& body) {
  return with_shared_access<DagObject>(self, [&](DagState& state) -> PyObject* {
    if (!state.dag) raise(PyExc_RuntimeError, "Dag has been cleared by the garbage collector");
    return body(state);
  });
}

// The keyword-only `inputs` of execute: None, or a dict of str -> value,
// each value converted as a node's output is. Raises TypeError naming
// `inputs` before anything runs.
std::optional<DataMap> read_run_inputs(PyObject* value) {
  if (is_absent(value)) return std::nullopt;
  if (!PyDict_Check(value)) raise_argument_type_error("inputs", "dict or None", value);
  DataMap inputs;
  for_each_entry(value, [&](PyObject* key, PyObject* item) {
    if (!PyUnicode_Check(key)) raise_argument_type_error("inputs", "str keys", key);
    std::string name = to_string(key, "inputs");
    inputs.insert_or_assign(std::move(name), PyFloat_CheckExact(item) ? GraphData::from_float(PyFloat_AS_DOUBLE(item))
                                                                      : python_to_graph_data(item));
    return true;
  });
  return inputs;
}

// Closes a run's progress display however the run ends, with the
// interpreter lock held (the guard is made before the lock is let go).
struct CloseProgress {
  PythonProgress* progress;
  ~CloseProgress() {
    if (progress != nullptr) progress->close();
  }
};

PyObject* dag_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    Arguments a("Dag.execute",
                {"parallel", "max_threads", "cache", "cache_depth", "cache_namespace", "cache_backend", "detailed",
                 "*inputs", "*progress", "*executor"},
                0, args, nargs, kwnames);
    const bool parallel = a[0] != nullptr && to_bool(a[0], "parallel");
    const std::optional<std::uint64_t> max_threads = to_optional_u64(a[1], "max_threads");
    const bool cache = a[2] == nullptr || to_bool(a[2], "cache");
    const std::optional<std::string> depth_text =
        a[3] == nullptr ? std::nullopt : std::optional<std::string>(to_string(a[3], "cache_depth"));
    const std::optional<std::string> cache_namespace = to_optional_string(a[4], "cache_namespace");
    // Held under shared access until the result is built.
    const std::optional<CacheArg> backend_arg = to_optional_cache(state_of_instance(self), a[5], "cache_backend");
    const bool detailed = a[6] != nullptr && to_bool(a[6], "detailed");
    const std::optional<DataMap> inputs = read_run_inputs(a[7]);
    const std::unique_ptr<PythonProgress> progress = PythonProgress::from_argument(a[8], "nodes");

    const std::optional<CacheDepth> depth = depth_text ? parse_cache_depth(*depth_text) : ExecutionOptions{}.depth;
    if (!depth) raise(PyExc_ValueError, "cache_depth must be one of: none, shallow, transitive");

    RunOptions options;
    options.parallel = parallel;
    if (max_threads) options.max_threads = static_cast<std::size_t>(*max_threads);
    options.cache.enabled = cache;
    options.cache.depth = *depth;
    options.cache.collect_node_statuses = detailed;
    options.cache.namespace_name = RunOptions::namespace_for(
        cache_namespace, backend_arg ? std::optional<std::string>(backend_arg->namespace_name) : std::nullopt,
        state.namespace_name);
    if (backend_arg) options.backend = backend_arg->backend;
    InterpreterControl control;
    options.control = &control;
    if (inputs) options.inputs = &*inputs;
    options.collect_node_runs = detailed;
    options.progress = progress.get();

    const Dag& dag = *state.dag;
    std::optional<ExecutorDispatcher> dispatcher;
    if (!is_absent(a[9])) {
      dispatcher.emplace(state_of_instance(self), a[9], dag.nodes(), "executor");
      options.dispatcher = &*dispatcher;
    }
    ExecutionResult result;
    {
      CloseProgress close_progress{progress.get()};
      // The engine never calls into Python except through node functions,
      // which take the lock themselves.
      GilRelease unlocked;
      result = dag.run(options);
    }
    const ModuleState& module = state_of_instance(self);
    warn_cache_notices(module, options.backend ? options.backend : dag.cache_backend());
    warn_unstored(module, dag, result.unstored);
    PyRef context = context_to_dict(result.context, state);
    if (!detailed) return context.release();
    return detailed_result(std::move(context), result, dag);
  });
}

PyObject* dag_to_mermaid(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    Arguments a("Dag.to_mermaid", {"*report"}, 0, args, nargs, kwnames);
    if (is_absent(a[0])) return text(state.dag->to_mermaid()).release();
    return text(state.dag->to_mermaid(run_marks_from_report(a[0]))).release();
  });
}

// The diagram for notebooks: Mermaid text that frontends render natively,
// the same as a fenced Markdown block, and repr() as plain text.
PyObject* dag_repr_mimebundle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    Arguments a("Dag._repr_mimebundle_", {"include", "exclude"}, 0, args, nargs, kwnames);
    const PyRef plain = check(PyObject_Repr(self));
    return mermaid_bundle(state.dag->to_mermaid(), plain.get(), a[0], a[1]);
  });
}

// A name map as a dict sorted by key, so that the listing is reproducible.
PyRef sorted_name_dict(const NameMap& names) {
  std::vector<std::pair<std::string_view, std::string_view>> sorted(names.begin(), names.end());
  std::sort(sorted.begin(), sorted.end());
  PyRef dict = check(PyDict_New());
  for (const auto& [key, value] : sorted) {
    if (PyDict_SetItem(dict.get(), text(key).get(), text(value).get()) != 0) throw_python_error();
  }
  return dict;
}

PyRef optional_u64(const std::optional<std::uint64_t>& value) {
  return value ? check(PyLong_FromUnsignedLongLong(*value)) : PyRef::borrow(Py_None);
}

PyObject* dag_node_info(PyObject* self, PyObject*) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    const std::vector<Node>& nodes = state.dag->nodes();
    PyRef list = check(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const Node& node = nodes[i];
      PyRef dict = check(PyDict_New());
      set_item(dict.get(), "id", check(PyLong_FromUnsignedLongLong(node.id)));
      set_item(dict.get(), "label", node.label ? text(*node.label) : PyRef::borrow(Py_None));
      set_item(dict.get(), "inputs", sorted_name_dict(node.inputs));
      set_item(dict.get(), "outputs", sorted_name_dict(node.outputs));
      set_item(dict.get(), "branch_id", optional_u64(node.branch_id));
      set_item(dict.get(), "variant_index", optional_u64(node.variant_index));
      set_item(dict.get(), "cache_version", text(node.cache_version));
      set_item(dict.get(), "cacheable", PyRef::borrow(node.cacheable ? Py_True : Py_False));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());  // steals
    }
    return list.release();
  });
}

PyObject* dag_node_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    Arguments a("Dag.node_id", {"label"}, 1, args, nargs, kwnames);
    const std::string label = to_string(a[0], "label");
    PyRef list = check(PyList_New(0));
    for (const Node& node : state.dag->nodes()) {
      if (!node.label || *node.label != label) continue;
      if (PyList_Append(list.get(), check(PyLong_FromUnsignedLongLong(node.id)).get()) != 0) throw_python_error();
    }
    return list.release();
  });
}

PyObject* dag_node_count(PyObject* self, PyObject*) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    return PyLong_FromSize_t(state.dag->node_count());
  });
}

PyObject* dag_cache_stats(PyObject* self, PyObject*) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    return cache_stats_to_dict(state.dag->cache_backend()->stats());
  });
}

PyObject* dag_clear_cache(PyObject* self, PyObject*) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    state.dag->cache_backend()->clear_all();
    Py_RETURN_NONE;
  });
}

PyObject* dag_clear_cache_namespace(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    Arguments a("Dag.clear_cache_namespace", {"namespace"}, 1, args, nargs, kwnames);
    const std::string ns = to_string(a[0], "namespace");
    state.dag->cache_backend()->clear_namespace(ns);
    Py_RETURN_NONE;
  });
}

PyObject* dag_clear_cache_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    Arguments a("Dag.clear_cache_node", {"namespace", "node_id", "version"}, 2, args, nargs, kwnames);
    const std::string ns = to_string(a[0], "namespace");
    const std::uint64_t node_id = to_u64(a[1], "node_id");
    const std::optional<std::string> version = to_optional_string(a[2], "version");
    state.dag->cache_backend()->clear_node(ns, node_id, version);
    Py_RETURN_NONE;
  });
}

PyObject* dag_node_labels(PyObject* self, PyObject*) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
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
  return with_dag(self, [&](DagState& state) -> PyObject* {
    return id_list(state.dag->branch_ids());
  });
}

PyObject* dag_variant_indices(PyObject* self, PyObject*) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    return id_list(state.dag->variant_indices());
  });
}

// The `inputs` argument of predict and predict_at must be a dict.
void check_inputs_dict(PyObject* inputs) {
  if (!PyDict_Check(inputs)) raise_argument_type_error("inputs", "dict", inputs);
}

// The entries of the `inputs` dict, in dict order, as engine distributions:
// each key must be a str, each value a Distribution (else ValueError
// "Value for key '<key>' must be a Distribution<hint>"); the first offending
// entry decides. The entries are those the dict held when reading began.
DistMap read_input_dists(const ModuleState& module, PyObject* inputs, const char* hint) {
  DistMap dists;
  for_each_entry(inputs, [&](PyObject* key, PyObject* value) {
    std::string name = to_string(key, "inputs");
    if (!is_distribution(module, value)) raise(PyExc_ValueError, "Value for key '" + name + "' must be a Distribution" + hint);
    dists.insert_or_assign(std::move(name), distribution_of(value));
    return true;
  });
  return dists;
}

// The keyword-only block_size of predict and predict_at: None or a positive
// int.
// A keyword that is a positive int or None, such as block_size.
std::optional<std::size_t> to_positive_size(PyObject* value, const char* name) {
  const std::optional<std::uint64_t> size = to_optional_u64(value, name);
  if (size && *size == 0) raise(PyExc_ValueError, std::string("argument '") + name + "': must be a positive int or None");
  if (!size) return std::nullopt;
  return static_cast<std::size_t>(std::min<std::uint64_t>(*size, std::numeric_limits<std::size_t>::max()));
}

std::optional<std::size_t> to_block_size(PyObject* value) { return to_positive_size(value, "block_size"); }

PyObject* dag_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    Arguments a("Dag.predict", {"inputs", "n_samples", "*seed", "*block_size", "*progress", "*executor", "*chunk_size"},
                1, args, nargs, kwnames);
    check_inputs_dict(a[0]);
    const std::uint64_t n_samples = a[1] == nullptr ? kDefaultParticles : to_u64(a[1], "n_samples");
    const std::optional<std::uint64_t> seed = to_optional_u64(a[2], "seed");
    const std::optional<std::size_t> block_size = to_block_size(a[3]);
    const ModuleState& module = state_of_instance(self);
    const DistMap inputs = read_input_dists(module, a[0], "");
    const std::unique_ptr<PythonProgress> progress = PythonProgress::from_argument(a[4], "particle steps");
    const std::optional<std::size_t> chunk_size = to_positive_size(a[6], "chunk_size");

    const Dag& dag = *state.dag;
    std::optional<ExecutorDispatcher> dispatcher;
    if (!is_absent(a[5])) dispatcher.emplace(state_of_instance(self), a[5], dag.nodes(), "executor");
    StatResult result;
    {
      CloseProgress close_progress{progress.get()};
      // Node functions take the lock back themselves; the borrow keeps the
      // Dag alive and unchanged meanwhile.
      GilRelease unlocked;
      InterpreterControl control;
      result = predict(dag, inputs, static_cast<std::size_t>(n_samples), &control, seed, block_size, progress.get(),
                       dispatcher ? &*dispatcher : nullptr, chunk_size);
    }
    return wrap_stat_result(module, std::move(result));
  });
}

PyObject* dag_predict_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_dag(self, [&](DagState& state) -> PyObject* {
    Arguments a("Dag.predict_at", {"inputs", "n_samples", "at_node", "at_branch", "at_variant", "*seed", "*block_size",
                                 "*progress", "*executor", "*chunk_size"},
                1, args, nargs, kwnames);
    check_inputs_dict(a[0]);
    const std::optional<std::uint64_t> n_samples = to_optional_u64(a[1], "n_samples");
    std::optional<std::string> at_node = to_optional_string(a[2], "at_node");
    const std::optional<std::uint64_t> at_branch = to_optional_u64(a[3], "at_branch");
    const std::optional<std::uint64_t> at_variant = to_optional_u64(a[4], "at_variant");
    const std::optional<std::uint64_t> seed = to_optional_u64(a[5], "seed");
    const std::optional<std::size_t> block_size = to_block_size(a[6]);
    const ModuleState& module = state_of_instance(self);
    DistMap inputs = read_input_dists(module, a[0], " (use quillon.normal(), quillon.gamma(), etc.)");
    const std::unique_ptr<PythonProgress> progress = PythonProgress::from_argument(a[7], "nodes");
    const std::optional<std::size_t> chunk_size = to_positive_size(a[9], "chunk_size");

    // One target at most: a label first, then a branch, then a variant.
    std::optional<PredictTarget> target;
    if (at_node) {
      target = PredictTarget{PredictTarget::Node{std::move(*at_node)}};
    } else if (at_branch) {
      target = PredictTarget{PredictTarget::Branch{*at_branch}};
    } else if (at_variant) {
      target = PredictTarget{PredictTarget::Variant{*at_variant}};
    }
    std::optional<std::size_t> count;
    if (n_samples) count = static_cast<std::size_t>(*n_samples);

    const Dag& dag = *state.dag;
    if (target) {
      if (const std::optional<std::string> message = predict_target_message(dag, *target)) warn_graph(module, *message);
    }
    std::optional<ExecutorDispatcher> dispatcher;
    if (!is_absent(a[8])) dispatcher.emplace(state_of_instance(self), a[8], dag.nodes(), "executor");
    StatResult result;
    {
      CloseProgress close_progress{progress.get()};
      GilRelease unlocked;
      InterpreterControl control;
      result = predict_at(dag, std::move(inputs), count, target, &control, seed, block_size, progress.get(),
                          dispatcher ? &*dispatcher : nullptr, chunk_size);
    }
    return wrap_stat_result(module, std::move(result));
  });
}

// The documentation of the keyword-only `seed` and `block_size` of predict and predict_at,
// after their specified text.
#define QUILLON_PROPAGATION_KEYWORDS_DOC                                                                                               \
  "\n\nKeyword-only:\n"                                                                                         \
  "    seed (int | None): Makes the draws reproducible: the same seed gives bit-identical results on\n"       \
  "        the same build, whatever thread runs the call. Each input, and each node's block of 256\n"         \
  "        Monte Carlo draws, draws from its own sub-stream of the seed (xoshiro256++ seeded through\n"      \
  "        SplitMix64). None (default): fresh entropy on every call.\n"                                 \
  "    block_size (int | None): The most draws a vectorised node (Graph.set_vectorized) takes in one\n"   \
  "        call. None (default): as many as keep the node's input and output arrays within about\n"       \
  "        64 MiB. Changes neither the draws nor the results.\n"                                      \
  "    executor (concurrent.futures.Executor | dask.distributed.Client | None): Where node calls run:\n"  \
  "        a process pool, a Dask client or its executor, anything whose submit() returns futures.\n"  \
  "        Draws are made here; the calls of nodes that are not vectorised go to the workers in\n"      \
  "        chunks and come back in draw order, so the result equals a run without an executor (with\n" \
  "        a seed, bit for bit) for any chunk size and worker count. Node callables must pickle\n"     \
  "        (by reference, or with cloudpickle installed); a TypeError names a node whose callable\n"   \
  "        does not. None (default): calls run in this thread.\n"                                      \
  "    chunk_size (int | None): Calls per task on the executor. None (default): at least 64, and\n"  \
  "        about a 32nd of the calls, which keeps a task's own cost small against 1 ms calls."

// Method table in the order users see in dir() and help(). The uncertainty
// layer's predict_at and predict go last.
PyMethodDef kMethods[] = {
    {"__reduce__", reduce_dag, METH_NOARGS,
     "Pickle support: nodes travel with their callables (by reference, else by cloudpickle); a memory\n"
     "cache travels as its settings, empty, and a disk cache as its path."},
    {"execute", fastcall(dag_execute), kFastKw,
     "execute($self, parallel=..., max_threads=..., cache=..., cache_depth=..., cache_namespace=..., "
     "cache_backend=..., detailed=...)\n--\n\n"
     "Execute the DAG\n\nArgs:\n"
     "    parallel (bool): If True, execute nodes at the same level concurrently. Default: False\n"
     "    max_threads (Optional[int]): Maximum number of threads to use per level. None = unlimited. "
     "Default: None\n\nReturns:\n    Dictionary containing the execution context"
     "\n\nKeyword-only:\n"
     "    inputs (dict[str, Any] | None): Values placed in the context before the first node runs, by\n"
     "        broadcast name, converted as node outputs are. Nodes read them as if an upstream node had\n"
     "        written them, they enter the cache key of every node that reads them (a changed value\n"
     "        is reported as input_changed), a node writing the same name replaces them, and the\n"
     "        returned context holds them. One Dag thus serves many parameter sets.\n"
     "    progress (bool | Callable[[int, int], object]): True shows a tqdm bar when tqdm is\n"
     "        installed (pip install quillon[progress]) and a one-line counter on stderr otherwise;\n"
     "        a callable receives (nodes done, nodes in the run). At most 10 updates a second, the\n"
     "        last always (total, total). An exception raised by the callable stops the run and is\n"
     "        raised here. Default: False.\n"
     "    executor (concurrent.futures.Executor | dask.distributed.Client | None): Where node calls run:\n"
     "        a process or thread pool, a Dask client or client.get_executor(), anything whose submit()\n"
     "        returns futures. Each node is submitted as soon as its inputs exist; this process builds\n"
     "        the keys, asks the cache and stores, so the context and the report are those of a\n"
     "        sequential run. Node callables travel once per worker (by reference, else with cloudpickle);\n"
     "        a TypeError naming the node is raised before anything runs when one cannot. A node that\n"
     "        raises on a worker prints the worker's traceback here and yields no outputs; a task whose\n"
     "        worker is lost is retried once, then its node fails. parallel and max_threads are not\n"
     "        used then. None (default): calls run here.\n\n"
     "With detailed=True the report also holds \"node_runs\": node id -> {\"label\", \"seconds\",\n"
     "\"failed\", \"error\"}, where seconds is the node's wall time (cache lookup included) and error\n"
     "the one-line text of the exception that failed the node, or None."},
    {"to_mermaid", fastcall(dag_to_mermaid), kFastKw,
     "to_mermaid($self)\n--\n\n"
     "Get Mermaid diagram representation\n\nReturns:\n    String containing the Mermaid diagram"
     "\n\nKeyword-only:\n"
     "    report (dict | None): The report of `execute(detailed=True)`. Each node it mentions is\n"
     "        marked hit, miss or failed (failed when the report has \"node_runs\"), with its miss\n"
     "        reason under the label, a class per outcome and a legend. None (default): the plain\n"
     "        diagram."},
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
    {"node_info", dag_node_info, METH_NOARGS,
     "node_info($self)\n--\n\n"
     "One dict per node, in node order: id, label (None when unlabelled), inputs (broadcast name ->\n"
     "impl name), outputs (impl name -> broadcast name), branch_id, variant_index (None when not\n"
     "set), cache_version and cacheable."},
    {"node_id", fastcall(dag_node_id), kFastKw,
     "node_id($self, label)\n--\n\n"
     "The ids of the nodes labelled `label`, in node order; an empty list when no node carries it."},
    {"_repr_mimebundle_", fastcall(dag_repr_mimebundle), kFastKw,
     "_repr_mimebundle_($self, include=None, exclude=None)\n--\n\n"
     "The diagram for notebooks: text/vnd.mermaid, text/markdown (a fenced mermaid block) and\n"
     "text/plain, filtered by `include` and `exclude`."},
    {"predict_at", fastcall(dag_predict_at), kFastKw,
     "predict_at($self, inputs, n_samples=..., at_node=..., at_branch=..., at_variant=...)\n"
     "--\n"
     "\n"
     "Forward-propagate distributions through the graph.\n"
     "\n"
     "Args:\n"
     "    inputs (dict[str, Distribution]): Initial distributions keyed by broadcast variable name.\n"
     "    n_samples (int | None): Monte Carlo sample count for nodes without an analytical dist_transfer.\n"
     "        Required as soon as a node has to be sampled.\n"
     "    at_node (str | None): Stop after all nodes with this label have been computed.  Pass\n"
     "        ``None`` (default) to run the full graph.  Use :meth:`node_labels` to list valid\n"
     "        values.\n"
     "    at_branch (int | None): Stop after all nodes belonging to this branch ID have been\n"
     "        computed.  Use :meth:`branch_ids` to list valid values.\n"
     "    at_variant (int | None): Stop after all nodes with this variant index have been\n"
     "        computed.  Use :meth:`variant_indices` to list valid values.\n"
     "\n"
     "Only one of ``at_node``, ``at_branch``, ``at_variant`` should be given at a time.\n"
     "If more than one is supplied, ``at_node`` takes precedence, then ``at_branch``,\n"
     "then ``at_variant``.\n"
     "\n"
     "Returns:\n"
     "    StatResult: distribution over every broadcast variable computed up to the target.\n"
     "\n"
     "Example::\n"
     "\n"
     "    # Full graph\n"
     "    stat = dag.predict_at({\"x\": quillon.normal(0.0, 1.0)}, n_samples=1000)\n"
     "\n"
     "    # Stop at node labelled \"Scale\"\n"
     "    stat = dag.predict_at({\"x\": quillon.normal(0.0, 1.0)}, at_node=\"Scale\")\n"
     "\n"
     "    # Stop at branch 1\n"
     "    stat = dag.predict_at({\"x\": quillon.normal(0.0, 1.0)}, at_branch=1)\n"
     "\n"
     "    # Stop at variant 0\n"
     "    stat = dag.predict_at({\"x\": quillon.normal(0.0, 1.0)}, at_variant=0)"
     QUILLON_PROPAGATION_KEYWORDS_DOC
     "\n    progress (bool | Callable[[int, int], object]): True shows a tqdm bar (or a stderr counter\n"
     "        without tqdm); a callable receives (nodes processed, nodes in the graph), at most 10\n"
     "        times a second and last (total, total), also when a target ends the pass early.\n"
     "        Default: False."},
    {"predict", fastcall(dag_predict), kFastKw,
     "predict($self, inputs, n_samples=...)\n"
     "--\n"
     "\n"
     "Particle-based forward pass \xe2\x80\x94 preserves exact joint distribution structure.\n"
     "\n"
     "Runs `n_samples` full end-to-end trajectories through the graph so that\n"
     "``stat.particles[i]`` contains the value of every variable from the **same**\n"
     "random draw.  Unlike ``predict_at()``, which runs per-node Monte Carlo (losing\n"
     "sample alignment), this method evaluates the node's concrete function for every\n"
     "particle \xe2\x80\x94 even when a ``dist_transfer`` is attached.  This gives you the exact\n"
     "joint (cross-variable) correlation structure.\n"
     "\n"
     "**Trade-off vs predict_at()**\n"
     "\n"
     "* ``predict_at()`` \xe2\x80\x94 fast; uses ``dist_transfer`` shortcuts; marginals are exact;\n"
     "  no joint structure.\n"
     "* ``predict()`` \xe2\x80\x94 slightly slower; always evaluates node functions;\n"
     "  marginals AND correlations are exact; use this for joint/marginal PDFs and plots.\n"
     "\n"
     "Args:\n"
     "    inputs (dict[str, Distribution]): Prior distributions keyed by variable name.\n"
     "    n_samples (int): Number of full-graph trajectories.  Default: 1000.\n"
     "\n"
     "Returns:\n"
     "    StatResult: Marginal distributions in ``stat_result[var]`` (same as predict_at()),\n"
     "    plus ``stat_result.particles`` (list of dicts) for joint analysis.\n"
     "\n"
     "Example::\n"
     "\n"
     "    stat  = dag.predict({\"x\": quillon.normal(0.0, 1.0)}, n_samples=2000)\n"
     "    joint = quillon.joint(stat)          # JointDistribution\n"
     "    joint.print_summary()              # table + correlation matrix\n"
     "    joint.plot_pairs()                 # pair plot of all variables\n"
     "    joint.plot_joint(\"x\", \"out\")       # 2-D joint PDF"
     QUILLON_PROPAGATION_KEYWORDS_DOC
     "\n    progress (bool | Callable[[int, int], object]): True shows a tqdm bar (or a stderr counter\n"
     "        without tqdm); a callable receives (particle steps done, nodes x n_samples), where a\n"
     "        particle step is one particle through one node, at most 10 times a second and last\n"
     "        (total, total). Default: False."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for DAG executor")},
    {Py_tp_new, reinterpret_cast<void*>(dag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dag_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(dag_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(dag_clear)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillon.Dag", sizeof(DagObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, kSlots};

}  // namespace

PyTypeObject* create_dag_type(PyObject* module) { return create_class(module, &kSpec, "Dag"); }

PyObject* wrap_dag(const ModuleState& module, Dag dag, std::optional<std::string> namespace_name) {
  PyTypeObject* type = module.dag_type;
  if (type == nullptr) raise(PyExc_SystemError, "the Dag type is not initialised");
  PyRef self = check(type->tp_alloc(type, 0));
  DagState* state = new (&as_dag(self.get())->state) DagState{};
  state->dag.emplace(std::move(dag));
  state->namespace_name = std::move(namespace_name);
  return self.release();
}

}  // namespace quillon::py
