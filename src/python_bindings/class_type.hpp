// Creation of the module's class objects.
//
// Each class is created once per process from its spec, named
// "quillon.<Name>" so that the class carries its module, and then given its
// bare name as the type name, which is what users see in messages and
// object reprs ("<Graph object at ...>"). Requires: the interpreter lock.
#pragma once

#include <Python.h>

namespace quillon::py {

// Returns a new reference to the class, creating it on first use and caching
// it in `*cache` (never freed: classes live as long as the process).
inline PyObject* create_class(PyType_Spec* spec, const char* bare_name, PyTypeObject** cache) {
  if (*cache == nullptr) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
    if (type == nullptr) return nullptr;
    // The type name stays owned by the PyType_Spec; the bare name is a literal.
    type->tp_name = bare_name;
    *cache = type;
  }
  Py_INCREF(*cache);
  return reinterpret_cast<PyObject*>(*cache);
}

}  // namespace quillon::py
