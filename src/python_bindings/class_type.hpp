// Creation of the module's class objects.
//
// Each class is created from its type description for one module object
// (module.cpp), which it keeps alive and whose state it can be asked for. The
// description names it
// "quillon.<Name>", so that the class carries its module and qualified name;
// the type name is then set to the bare name, which is what users see in
// messages ("'Graph' object is not subscriptable"). No class sets
// Py_TPFLAGS_BASETYPE: none can be subclassed, so an instance's type is
// always the class itself. Requires: the interpreter lock.
#pragma once

#include <Python.h>

namespace quillon::py {

// A new reference to a new class made from the description `spec` for `module`, or null with
// an error set.
inline PyTypeObject* create_class(PyObject* module, PyType_Spec* spec, const char* bare_name) {
  auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
  if (type == nullptr) return nullptr;
  // The interpreter frees the name it copied from the description itself; the
  // bare name is a literal.
  type->tp_name = bare_name;
  return type;
}

// The method tables' entry for a vectorcall method (METH_FASTCALL |
// METH_KEYWORDS), which the table stores as a PyCFunction.
template <typename Fn>
PyCFunction fastcall(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

inline constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

}  // namespace quillon::py
