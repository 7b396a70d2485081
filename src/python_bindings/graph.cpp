#include "python_bindings/graph.hpp"
#include "python_bindings/graph_warnings.hpp"

#include <new>
#include <utility>
#include <vector>

#include "defaults.hpp"
#include "python_bindings/args.hpp"
#include "python_bindings/class_type.hpp"
#include "python_bindings/code_version.hpp"
#include "python_bindings/container_walk.hpp"
#include "python_bindings/convert.hpp"
#include "python_bindings/dag.hpp"
#include "python_bindings/dist_transfer.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/held_references.hpp"
#include "python_bindings/cache_arg.hpp"
#include "python_bindings/module_state.hpp"
#include "python_bindings/node_function.hpp"
#include "python_bindings/pickling.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

namespace {

constexpr const char* kConsumed = "Graph has already been built or consumed";

GraphObject* as_graph(PyObject* self) { return reinterpret_cast<GraphObject*>(self); }

Graph& open_builder(GraphState& state) {
  if (!state.graph) raise(PyExc_ValueError, kConsumed);
  return *state.graph;
}

// Absent, None or an empty mapping all mean "no mapping".
std::optional<NamePairs> optional_mapping(PyObject* value, const char* name) {
  if (is_absent(value)) return std::nullopt;
  NamePairs pairs = parse_mapping(value, name);
  if (pairs.empty()) return std::nullopt;
  return pairs;
}

// The items of any sequence other than str, as new references. Iterating a
// custom sequence runs its Python code, which may reach this graph again.
std::vector<PyRef> to_object_list(PyObject* value, const char* name) {
  if (PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    throw_python_error();
  }
  if (!PySequence_Check(value)) raise_argument_type_error(name, "a sequence", value);
  std::vector<PyRef> result;
  result.reserve(static_cast<std::size_t>(stored_size(value)));
  const WalkResult walked = for_each_item(value, [&](PyObject* item) {
    result.push_back(PyRef::borrow(item));
    return true;
  });
  if (walked == WalkResult::kReadFailed) rethrow_argument_error(name);
  return result;
}

void attach_cache(GraphState& state, const CacheArg& cache) {
  state.graph->set_cache_backend(cache.backend);
  state.namespace_name = cache.namespace_name;
}

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded([&]() -> PyObject* {
    Arguments a("Graph", {"cache_backend"}, 0, args, kwargs);
    std::optional<CacheArg> cache = to_optional_cache(state_of_class(type), a[0], "cache_backend");
    PyRef self = check(type->tp_alloc(type, 0));
    GraphState* state = new (&as_graph(self.get())->state) GraphState{};
    state->graph.emplace();
    if (cache) attach_cache(*state, *cache);
    return self.release();
  });
}

void graph_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  // Dropping the builder releases the callables it holds; that may run
  // Python code, which can only see this object through its own references.
  as_graph(self)->state.~GraphState();
  type->tp_free(self);
  Py_DECREF(type);
}

// The callables of the builder and of the callable table, and the values of
// an attached backend, that this graph alone holds (held_references.hpp). A borrowed graph (a method is running,
// possibly in the middle of changing the builder) reports nothing.
int graph_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const GraphState& state = as_graph(self)->state;
  if (state.borrow.active()) return 0;
  return visit_held_references(
      [&](HeldReferences& held) {
        for (const auto& [callable, function] : state.functions) held(function);
        if (state.graph) state.graph->for_each_holding(held);
      },
      visit, arg);
}

// Breaks a cycle through this graph: drops the builder and the callable
// table, after which the graph reads as consumed. Never while borrowed.
int graph_clear(PyObject* self) {
  GraphState& state = as_graph(self)->state;
  if (state.borrow.active()) return 0;
  std::optional<Graph> builder = std::move(state.graph);
  state.graph.reset();
  std::unordered_map<PyObject*, NodeFunction> functions = std::move(state.functions);
  state.functions.clear();
  return 0;  // the callables are released here, once the state is consistent
}

// The node function of `callable`, made once per graph.
NodeFunction function_for(GraphState& state, PyObject* callable) {
  NodeFunction& function = state.functions[callable];
  if (!function) function = create_python_node_function(callable);
  return function;
}

PyObject* graph_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.add", {"function", "label", "inputs", "outputs"}, 0, args, nargs, kwnames);
    std::optional<std::string> label = to_optional_string(a[1], "label");
    Graph& builder = open_builder(state);
    std::optional<NamePairs> inputs = optional_mapping(a[2], "inputs");
    std::optional<NamePairs> outputs = optional_mapping(a[3], "outputs");
    NodeFunction function = is_absent(a[0]) ? noop_node_function() : function_for(state, a[0]);
    builder.add(std::move(function), std::move(label), inputs, outputs);
    Py_RETURN_NONE;
  });
}

PyObject* graph_branch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.branch", {"subgraph"}, 1, args, nargs, kwnames);
    // A Graph of this module: the receiver's own class (classes have no subclasses).
    if (Py_TYPE(a[0]) != Py_TYPE(self)) raise_argument_type_error("subgraph", "Graph", a[0]);
    GraphState& sub_state = as_graph(a[0])->state;
    ExclusiveBorrow sub_borrow(a[0], sub_state.borrow);  // the receiver itself: "Already borrowed"
    Graph& builder = open_builder(state);
    if (!sub_state.graph) raise(PyExc_ValueError, "Subgraph has already been built or consumed");
    Graph subgraph = std::move(*sub_state.graph);
    sub_state.graph.reset();
    sub_state.functions.clear();
    const std::uint64_t branch_id = builder.branch(std::move(subgraph));
    return PyLong_FromUnsignedLongLong(branch_id);
  });
}

PyObject* graph_variants(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.variants", {"functions", "label", "inputs", "outputs"}, 1, args, nargs, kwnames);
    std::vector<PyRef> callables = to_object_list(a[0], "functions");
    std::optional<std::string> label = to_optional_string(a[1], "label");
    Graph& builder = open_builder(state);
    std::optional<NamePairs> inputs = optional_mapping(a[2], "inputs");
    std::optional<NamePairs> outputs = optional_mapping(a[3], "outputs");
    std::vector<NodeFunction> functions;
    functions.reserve(callables.size());
    for (const PyRef& callable : callables) functions.push_back(function_for(state, callable.get()));
    builder.variants(functions, std::move(label), inputs, outputs);
    Py_RETURN_NONE;
  });
}

PyObject* graph_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.build", {"cache_backend"}, 0, args, nargs, kwnames);
    const ModuleState& module = state_of_instance(self);
    std::optional<CacheArg> cache = to_optional_cache(module, a[0], "cache_backend");
    if (!state.graph) raise(PyExc_ValueError, "Graph has already been built");
    Graph builder = std::move(*state.graph);
    state.graph.reset();
    state.functions.clear();
    const auto cache_key_vars_by_label = builder.cache_key_vars_by_label();
    Dag dag = cache ? std::move(builder).build_with_cache_backend(cache->backend) : std::move(builder).build();
    const std::optional<std::string> unplaced = unplaced_nodes_message(dag);
    const std::optional<std::string> unknown_keys = cache_key_inputs_message(dag, cache_key_vars_by_label);
    std::optional<std::string> namespace_name = state.namespace_name;
    if (cache) namespace_name = cache->namespace_name;
    PyRef wrapped = PyRef::steal(wrap_dag(module, std::move(dag), std::move(namespace_name)));
    if (!wrapped) throw_python_error();
    if (unplaced) warn_graph(module, *unplaced);
    if (unknown_keys) warn_graph(module, *unknown_keys);
    return wrapped.release();
  });
}

PyObject* graph_configure_memory_cache(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.configure_memory_cache", {"max_entries", "ttl_seconds"}, 0, args, nargs, kwnames);
    const std::uint64_t max_entries = to_optional_u64(a[0], "max_entries").value_or(kDefaultMaxEntries);
    const std::optional<std::uint64_t> ttl_seconds = to_optional_u64(a[1], "ttl_seconds");
    std::optional<Graph::Duration> ttl;
    if (ttl_seconds) ttl = capped_ttl(*ttl_seconds);
    open_builder(state).set_memory_cache(static_cast<std::size_t>(max_entries), ttl);
    Py_RETURN_NONE;
  });
}

PyObject* graph_set_cache_backend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.set_cache_backend", {"cache_backend"}, 1, args, nargs, kwnames);
    CacheArg cache = to_cache(state_of_instance(self), a[0], "cache_backend");
    open_builder(state);
    attach_cache(state, cache);
    Py_RETURN_NONE;
  });
}

PyObject* graph_set_cache_version(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.set_cache_version", {"label", "version"}, 2, args, nargs, kwnames);
    std::string label = to_string(a[0], "label");
    std::string version = to_string(a[1], "version");
    open_builder(state).set_cache_version_for(std::move(label), std::move(version));
    Py_RETURN_NONE;
  });
}

PyObject* graph_set_cacheable(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.set_cacheable", {"label", "cacheable"}, 2, args, nargs, kwnames);
    std::string label = to_string(a[0], "label");
    const bool cacheable = to_bool(a[1], "cacheable");
    open_builder(state).set_cacheable_for(std::move(label), cacheable);
    Py_RETURN_NONE;
  });
}

PyObject* graph_set_cache_key_inputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.set_cache_key_inputs", {"label", "impl_vars"}, 2, args, nargs, kwnames);
    std::string label = to_string(a[0], "label");
    std::vector<std::string> impl_vars = to_string_list(a[1], "impl_vars");
    open_builder(state).set_cache_key_inputs_for(std::move(label), std::move(impl_vars));
    Py_RETURN_NONE;
  });
}

PyObject* graph_set_dist_transfer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.set_dist_transfer", {"label", "transfer_fn"}, 2, args, nargs, kwnames);
    std::string label = to_string(a[0], "label");
    Graph& builder = open_builder(state);
    builder.set_dist_transfer_for(std::move(label), create_python_dist_transfer(state_of_instance(self), a[1]));
    Py_RETURN_NONE;
  });
}

PyObject* graph_set_content_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.set_content_keys", {"enabled"}, 0, args, nargs, kwnames);
    const bool enabled = a[0] == nullptr || to_bool(a[0], "enabled");
    open_builder(state).set_content_keys(enabled);
    Py_RETURN_NONE;
  });
}

PyObject* graph_set_vectorized(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    Arguments a("Graph.set_vectorized", {"label", "enabled"}, 1, args, nargs, kwnames);
    std::string label = to_string(a[0], "label");
    const bool enabled = a[1] == nullptr || to_bool(a[1], "enabled");
    open_builder(state).set_vectorized_for(std::move(label), enabled);
    Py_RETURN_NONE;
  });
}

// Collects the callables of the nodes with one label, in the order the
// builder holds them (merged subgraphs included).
struct LabelCallables {
  const std::string& label;
  std::vector<PyRef> callables;  // null for a node without a function
  bool found = false;
  bool unknown = false;  // a node whose function is not a Python callable

  void operator()(const Node& node) {
    if (!node.label || *node.label != label) return;
    found = true;
    if (!node.function || node.function == noop_node_function()) {
      callables.emplace_back();
      return;
    }
    PyObject* callable = held_callable(*node.function);  // borrowed
    if (callable == nullptr) unknown = true;
    callables.push_back(PyRef::borrow(callable));
  }
  void operator()(const DistTransfer&) {}
  void operator()(const CacheBackendPtr&) {}
};

PyObject* graph_set_cache_version_from_code(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  return with_exclusive_access<GraphObject>(self, [&](GraphState& state) -> PyObject* {
    constexpr const char* kFunction = "Graph.set_cache_version_from_code";
    Arguments a(kFunction, {"label"}, 1, args, nargs, kwnames);
    std::string label = to_string(a[0], "label");
    Graph& builder = open_builder(state);
    LabelCallables collected{label, {}};
    builder.for_each_holding(collected);
    if (!collected.found) raise(PyExc_ValueError, std::string(kFunction) + ": no node has the label '" + label + "'");
    if (collected.unknown) {
      raise(PyExc_TypeError,
            std::string(kFunction) + ": cannot derive a code version for label '" + label + "': a node function is not a Python callable");
    }
    std::vector<PyObject*> callables;
    callables.reserve(collected.callables.size());
    for (const PyRef& callable : collected.callables) callables.push_back(callable.get());
    std::string token = code_version_token(callables, kFunction, label);
    builder.set_cache_version_for(std::move(label), std::move(token));
    Py_RETURN_NONE;
  });
}

// Method table in the order users see in dir() and help(). The uncertainty
// layer's set_dist_transfer closes the original set; later methods follow it.
PyMethodDef kMethods[] = {
    {"__reduce__", reduce_graph, METH_NOARGS, "A Graph is a builder and does not pickle; pickle its Dag."},
    {"add", fastcall(graph_add), kFastKw,
     "add($self, function=..., label=..., inputs=..., outputs=...)\n--\n\n"
     "Add a node to the graph\n\nArgs:\n    function: Optional Python callable. If None, creates a no-op node.\n"
     "    label: Optional string label for the node\n"
     "    inputs: Optional list of (broadcast_var, impl_var) tuples or dict\n"
     "    outputs: Optional list of (impl_var, broadcast_var) tuples or dict\n\n"
     "Returns:\n    None"},
    {"branch", fastcall(graph_branch), kFastKw,
     "branch($self, subgraph)\n--\n\n"
     "Create a branch in the graph\n\nArgs:\n    subgraph: PyGraph instance representing the branch\n\n"
     "Returns:\n    Branch ID (usize)"},
    {"variants", fastcall(graph_variants), kFastKw,
     "variants($self, functions, label=..., inputs=..., outputs=...)\n--\n\n"
     "Create variant nodes (parameter sweep)\n\nArgs:\n"
     "    functions: List of Python callables, each with signature (inputs) -> dict\n"
     "    label: Optional string label for the variant nodes\n"
     "    inputs: Optional list of (broadcast_var, impl_var) tuples or dict\n"
     "    outputs: Optional list of (impl_var, broadcast_var) tuples or dict\n\n"
     "Returns:\n    None\n\n"
     "Example:\n    factors = np.linspace(0.5, 2.0, 5)\n    graph.variants(\n"
     "        [lambda inputs, f=f: {\"scaled\": inputs[\"x\"] * f} for f in factors],\n"
     "        \"Scale\",\n        [(\"data\", \"x\")],\n        [(\"scaled\", \"result\")]\n    )"},
    {"build", fastcall(graph_build), kFastKw,
     "build($self, cache_backend=...)\n--\n\n"
     "Build the DAG from the graph\n\nReturns:\n    PyDag instance ready for execution"},
    {"configure_memory_cache", fastcall(graph_configure_memory_cache), kFastKw,
     "configure_memory_cache($self, max_entries=..., ttl_seconds=...)\n--\n\n"
     "Configure the built-in in-memory execution cache before building the DAG."},
    {"set_cache_backend", fastcall(graph_set_cache_backend), kFastKw,
     "set_cache_backend($self, cache_backend)\n--\n\nAttach a shared MemoryCache backend to this Graph."},
    {"set_cache_version", fastcall(graph_set_cache_version), kFastKw,
     "set_cache_version($self, label, version)\n--\n\n"
     "Set an explicit cache version token for all nodes with the given label."},
    {"set_cacheable", fastcall(graph_set_cacheable), kFastKw,
     "set_cacheable($self, label, cacheable)\n--\n\n"
     "Mark all nodes with the given label as cacheable or non-cacheable."},
    {"set_cache_key_inputs", fastcall(graph_set_cache_key_inputs), kFastKw,
     "set_cache_key_inputs($self, label, impl_vars)\n--\n\n"
     "Restrict cache-key fingerprinting to the given impl-var inputs for nodes with this label."},
    {"set_dist_transfer", fastcall(graph_set_dist_transfer), kFastKw,
     "set_dist_transfer($self, label, transfer_fn)\n--\n\n"
     "Attach an analytical distribution transfer to all nodes with the given label.\n\n"
     "The `transfer_fn` must be a Python callable with signature:\n"
     "  `transfer_fn(input_dists: dict[str, Distribution]) -> dict[str, Distribution] | None`\n\n"
     "Keys are **impl_var** names (the same names the node function receives).\n"
     "Return `None` to signal that Monte Carlo fallback should be used for this node.\n\n"
     "Example::\n\n"
     "    def scale_dist(dists):\n"
     "        x = dists[\"x\"]  # Distribution object\n"
     "        return {\"y\": quillon.normal(x.mean * 2.0, x.std * 2.0)}\n\n"
     "    graph.set_dist_transfer(\"Scale\", scale_dist)"},
    {"set_content_keys", fastcall(graph_set_content_keys), kFastKw,
     "set_content_keys($self, enabled=True)\n--\n\n"
     "Key cache-key inputs that have no canonical text by a digest of their content.\n\n"
     "Applies to every node of the graph when it is built. Without it, a node reading a\n"
     "list of numbers, an array, a dict or another object in its cache-key inputs is not\n"
     "cached (reason \"unsupported_input\"). With it, such inputs enter the key as a\n"
     "BLAKE3 digest: numeric vectors and buffers (numpy arrays of any dtype and layout)\n"
     "by their dtype, shape and elements; pandas objects by pandas' row hashes plus index,\n"
     "columns and dtypes; None, bools, ints, floats, strings, bytes, and tuples, lists,\n"
     "dicts and sets of them by type and value; an object defining `__quillon_key__()`\n"
     "by the bytes or str it returns; any other object by its pickle bytes. An object\n"
     "that cannot be pickled keeps the node uncached. Inputs that already have a\n"
     "canonical text keep it, so their keys do not change.\n\n"
     "Args:\n    enabled: bool, default True"},
    {"set_cache_version_from_code", fastcall(graph_set_cache_version_from_code), kFastKw,
     "set_cache_version_from_code($self, label)\n--\n\n"
     "Set the cache version of all nodes with the given label from their callables' code.\n\n"
     "The token (\"code:\" and 64 hex digits) covers each callable's bytecode, the\n"
     "constants it uses, the names it refers to, its defaults and keyword defaults, its\n"
     "closure values (by content, functions by their code), and the same for functions\n"
     "defined inside it. Docstrings, comments and line numbers do not count, so moving\n"
     "a function keeps its token, and the same source gives the same token in every\n"
     "process; editing the code gives a new token, and the next cached run reports\n"
     "\"code_changed\". Functions that the callable calls are not followed: a change in\n"
     "a helper it calls does not change its token. A functools.partial counts with its\n"
     "arguments, a bound method by its function, a callable object by its class's\n"
     "__call__. Nodes must be added before this call; the token is computed now.\n\n"
     "Raises:\n    TypeError: a callable has no Python code (a builtin or a class), or a\n"
     "        closure value or default has no content digest.\n"
     "    ValueError: no node has the label."},
    {"set_vectorized", fastcall(graph_set_vectorized), kFastKw,
     "set_vectorized($self, label, enabled=True)\n--\n\n"
     "Mark the nodes with the given label as able to take arrays.\n\n"
     "In predict_at() Monte Carlo and in predict(), such a node is called once per block\n"
     "of draws instead of once per draw: each input is a new 1-D float64 numpy array with\n"
     "the block's draws, and each output must be a numeric array of the same length or a\n"
     "number, which holds for every draw. Blocks are as large as `block_size=` of those\n"
     "calls allows. When a call raises, returns no dict, or returns an output that is not\n"
     "numeric or has another length, that block is evaluated one draw at a time instead\n"
     "and a RuntimeWarning names the node (once per call of predict or predict_at); the\n"
     "result is then the same as if the node had never been marked. In predict(),\n"
     "particles that lack one of the node's inputs (an earlier node failed on them) are\n"
     "evaluated one at a time, and a node reading a vector variable never takes blocks.\n"
     "execute() calls the node with plain values, as before. Needs numpy only when such\n"
     "a node is called on a block.\n\n"
     "Args:\n    label: The node label\n    enabled: bool, default True"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for Graph builder")},
    {Py_tp_new, reinterpret_cast<void*>(graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(graph_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(graph_clear)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillon.Graph", sizeof(GraphObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, kSlots};

}  // namespace

PyTypeObject* create_graph_type(PyObject* module) { return create_class(module, &kSpec, "Graph"); }

}  // namespace quillon::py
