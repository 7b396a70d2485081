// The module entry: creates the module quillon and registers its classes
// and functions.
#include <Python.h>

#include "python_bindings/dag.hpp"
#include "python_bindings/distribution.hpp"
#include "python_bindings/graph.hpp"
#include "python_bindings/memory_cache.hpp"
#include "python_bindings/node_function.hpp"
#include "python_bindings/py_ref.hpp"
#include "python_bindings/stat_result.hpp"

namespace quillon::py {

namespace {

bool g_initialised = false;

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quillon",
    "Initialize the Python module",
    -1,  // single-phase: one initialisation per process
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

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

PyObject* create_module() {
  if (g_initialised) {
    PyErr_SetString(PyExc_ImportError, "quillon can only be initialised once per interpreter process");
    return nullptr;
  }
  install_py_object_hooks();
  PyRef module = PyRef::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  // Registration order is the order of __all__: the classes MemoryCache,
  // Graph, Dag, Distribution, StatResult, then the module functions (each a
  // PyCFunction bound to the module, added with add_to_module as well).
  if (!add_to_module(module.get(), "MemoryCache", create_memory_cache_type())) return nullptr;
  if (!add_to_module(module.get(), "Graph", create_graph_type())) return nullptr;
  if (!add_to_module(module.get(), "Dag", create_dag_type())) return nullptr;
  if (!add_to_module(module.get(), "Distribution", create_distribution_type())) return nullptr;
  if (!add_to_module(module.get(), "StatResult", create_stat_result_type())) return nullptr;
  // The functions carry the module's name as their __module__.
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef* def = distribution_functions(); def->ml_name != nullptr; ++def) {
    if (!add_to_module(module.get(), def->ml_name, PyCFunction_NewEx(def, module.get(), module_name.get()))) {
      return nullptr;
    }
  }
  g_initialised = true;
  return module.release();
}

}  // namespace

}  // namespace quillon::py

PyMODINIT_FUNC PyInit_quillon(void) { return quillon::py::create_module(); }
