// The module entry: the definition of the module quillon, initialised in
// two phases. The interpreter makes the module object with room for its
// state (module_state.hpp); executing it creates the classes into that state
// and registers them and the module functions.
#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "cache/value_codec.hpp"
#include "python_bindings/convert.hpp"
#include "python_bindings/dag.hpp"
#include "python_bindings/display.hpp"
#include "python_bindings/distribution.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/executor.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/graph.hpp"
#include "python_bindings/joint.hpp"
#include "python_bindings/disk_cache.hpp"
#include "python_bindings/memory_cache.hpp"
#include "python_bindings/module_state.hpp"
#include "python_bindings/node_function.hpp"
#include "python_bindings/pickle_codec.hpp"
#include "python_bindings/pickling.hpp"
#include "python_bindings/py_ref.hpp"
#include "python_bindings/stat_result.hpp"

namespace quillon::py {

namespace {

// Appends `name` to the module's __all__ (created on first use), then sets
// the attribute. Steals `object`. Returns false with an error set.
bool add_to_module(PyObject* module, const char* name, PyObject* object) {
  PyRef owned = PyRef::steal(object);
  if (!owned) return false;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  PyRef created;
  if (all == nullptr) {
    created = PyRef::steal(PyList_New(0));
    if (!created || PyDict_SetItemString(dict, "__all__", created.get()) != 0) return false;
    all = created.get();
  }
  PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
  if (!py_name || PyList_Append(all, py_name.get()) != 0) return false;
  return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

// Creates a class for `module`, keeps it in `*slot` (the state's strong
// reference) and adds it to the module. False with an error set.
bool add_class(PyObject* module, const char* name, PyTypeObject* (*create)(PyObject*), PyTypeObject** slot) {
  PyTypeObject* type = create(module);
  if (type == nullptr) return false;
  *slot = type;
  Py_INCREF(type);  // the module's attribute; the state keeps the first reference
  return add_to_module(module, name, reinterpret_cast<PyObject*>(type));
}

// Creates the UserWarning subclass quillon.<name>, keeps it in `*slot` (the
// state's own reference) and adds it to the module. False with an error set.
bool add_warning(PyObject* module, const char* name, const char* doc, PyObject** slot) {
  const std::string qualified = std::string("quillon.") + name;
  *slot = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, PyExc_UserWarning, nullptr);
  if (*slot == nullptr) return false;
  Py_INCREF(*slot);  // the module's attribute
  return add_to_module(module, name, *slot);
}

// Runs once for each module object the import system makes: importing the
// module again after removing it from sys.modules, or importing it in another
// interpreter, makes a fresh module object with classes of its own.
int module_exec(PyObject* module) {
  // The hooks are process-wide: installed by the first execution, before any
  // value holds a Python object, and never rewritten while runs may read them.
  static const bool hooks_installed = (install_py_object_hooks(), true);
  static_cast<void>(hooks_installed);
  ModuleState& state = state_of_module(module);
  // Registration order is the order of __all__: the classes MemoryCache,
  // Graph, Dag, Distribution, StatResult, then the module functions (each a
  // PyCFunction bound to the module, added with add_to_module as well), then
  // the warning category GraphWarning, then __version__, the package version
  // the build was configured with, then the class DiskCache and the warning
  // category CacheWarning, then the function joint and the class
  // JointDistribution.
  if (!add_class(module, "MemoryCache", create_memory_cache_type, &state.memory_cache_type)) return -1;
  if (!add_class(module, "Graph", create_graph_type, &state.graph_type)) return -1;
  if (!add_class(module, "Dag", create_dag_type, &state.dag_type)) return -1;
  if (!add_class(module, "Distribution", create_distribution_type, &state.distribution_type)) return -1;
  if (!add_class(module, "StatResult", create_stat_result_type, &state.stat_result_type)) return -1;
  // The functions carry the module's name as their __module__.
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef* def = distribution_functions(); def->ml_name != nullptr; ++def) {
    if (!add_to_module(module, def->ml_name, PyCFunction_NewEx(def, module, module_name.get()))) return -1;
  }
  if (!add_warning(module, "GraphWarning",
                   "Warned when a graph builds or a propagation starts but part of what was asked for silently does "
                   "nothing: nodes that can never run, cache-key input names no node reads, a stop target that "
                   "matches no node.",
                   &state.graph_warning)) {
    return -1;
  }
  if (!add_to_module(module, "__version__", PyUnicode_FromString(QUILLON_VERSION))) return -1;
  if (!add_class(module, "DiskCache", create_disk_cache_type, &state.disk_cache_type)) return -1;
  if (!add_warning(module, "CacheWarning",
                   "Warned when a persistent cache could not do part of its work: outputs it could not store, damage "
                   "it set aside, a full disk, a directory it does not trust with pickled objects. Runs still return "
                   "correct results.",
                   &state.cache_warning)) {
    return -1;
  }
  if (!add_to_module(module, "joint", PyCFunction_NewEx(joint_function(), module, module_name.get()))) return -1;
  if (!add_class(module, "JointDistribution", create_joint_distribution_type, &state.joint_distribution_type)) {
    return -1;
  }
  // quillon.explain and the class of what it returns, Explanation.
  if (!add_to_module(module, "explain", PyCFunction_NewEx(explain_function(), module, module_name.get()))) return -1;
  if (!add_class(module, "Explanation", create_explanation_type, &state.explanation_type)) return -1;
  return 0;
}

// The state's class references take part in garbage collection: each class
// refers back to its module.
int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState& state = state_of_module(module);
  Py_VISIT(state.memory_cache_type);
  Py_VISIT(state.graph_type);
  Py_VISIT(state.dag_type);
  Py_VISIT(state.distribution_type);
  Py_VISIT(state.stat_result_type);
  Py_VISIT(state.graph_warning);
  Py_VISIT(state.disk_cache_type);
  Py_VISIT(state.cache_warning);
  Py_VISIT(state.joint_distribution_type);
  Py_VISIT(state.plotting);
  Py_VISIT(state.executor);
  Py_VISIT(state.explanation_type);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState& state = state_of_module(module);
  Py_CLEAR(state.memory_cache_type);
  Py_CLEAR(state.graph_type);
  Py_CLEAR(state.dag_type);
  Py_CLEAR(state.distribution_type);
  Py_CLEAR(state.stat_result_type);
  Py_CLEAR(state.graph_warning);
  Py_CLEAR(state.disk_cache_type);
  Py_CLEAR(state.cache_warning);
  Py_CLEAR(state.joint_distribution_type);
  Py_CLEAR(state.plotting);
  Py_CLEAR(state.executor);
  Py_CLEAR(state.explanation_type);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

// _codec_round_trip(obj, *, opaque=False): `obj` as a stored output goes
// through the byte form of the disk cache and back (objects by pickle), and
// the value read back is returned; ValueError with the reason when it does
// not encode. `obj` is converted like a node's output, or with opaque=True
// kept as the object itself. Not public: the tests of the codec use it.
PyObject* codec_round_trip(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_guarded([&]() -> PyObject* {
    static const char* kNames[] = {"obj", "opaque", nullptr};
    PyObject* object = nullptr;
    int opaque = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:_codec_round_trip", const_cast<char**>(kNames), &object,
                                     &opaque)) {
      return nullptr;
    }
    static const std::shared_ptr<const ObjectCodec> codec = create_pickle_codec();
    const DataMap outputs{
        {"value", opaque != 0 ? GraphData::from_py_object(PyObjectRef::borrow(object)) : python_to_graph_data(object)}};
    std::optional<DataMap> back;
    std::string problem;
    {
      // As a backend uses it: from engine code, without the lock.
      GilRelease unlocked;
      if (std::optional<std::string> bytes = encode_outputs(outputs, codec.get(), problem)) {
        back = decode_outputs(*bytes, codec.get());
        if (!back) problem = "the encoding did not decode";
      }
    }
    if (!back) raise(PyExc_ValueError, problem);
    return graph_data_to_python(back->at("value"));
  });
}

// Module-level functions that stay out of __all__.
PyMethodDef kPrivateFunctions[] = {
    {"_codec_round_trip", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(codec_round_trip)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    // The reconstructors that pickles of Dag, Distribution and StatResult name.
    {"_restore_dag", restore_dag, METH_O, nullptr},
    {"_restore_distribution", restore_distribution, METH_O, nullptr},
    {"_restore_stat_result", restore_stat_result, METH_O, nullptr},
    // What a task runs on an executor's worker (executor.hpp).
    {"_run_task", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_task)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quillon",
    "Initialize the Python module",
    sizeof(ModuleState),
    kPrivateFunctions,
    kSlots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

}  // namespace quillon::py

PyMODINIT_FUNC PyInit_quillon(void) { return PyModuleDef_Init(&quillon::py::kModule); }
