#include "python_bindings/equality.hpp"

#include "python_bindings/borrow.hpp"
#include "python_bindings/distribution.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/stat_result.hpp"
#include "stat_result/equality.hpp"

namespace quillon::py {

namespace {

// == and != of two objects of the same class `Object` under shared access
// to both, by `equal(state, other_state)`.
template <typename Object, typename Equal>
PyObject* compare(PyObject* self, PyObject* other, int op, Equal&& equal) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  return with_shared_access<Object>(self, [&](auto& state) -> PyObject* {
    auto& other_state = reinterpret_cast<Object*>(other)->state;
    SharedBorrow other_borrow(other, other_state.borrow);
    const bool same = self == other || equal(state, other_state);
    return PyBool_FromLong((op == Py_EQ) == same);
  });
}

}  // namespace

PyObject* distribution_richcompare(PyObject* self, PyObject* other, int op) {
  return compare<DistributionObject>(self, other, op, [](const DistributionState& a, const DistributionState& b) {
    return equal_values(a.value, b.value);
  });
}

Py_hash_t distribution_hash(PyObject* self) {
  const Distribution& dist = reinterpret_cast<DistributionObject*>(self)->state.value;  // never changes
  const auto hash = static_cast<Py_hash_t>(value_hash(dist));
  return hash == -1 ? -2 : hash;
}

PyObject* stat_result_richcompare(PyObject* self, PyObject* other, int op) {
  return compare<StatResultObject>(self, other, op, [](const StatResultState& a, const StatResultState& b) {
    return equal_values(a.result, b.result);
  });
}

Py_hash_t stat_result_hash(PyObject* self) {
  return with_shared_access<StatResultObject>(self, [](const StatResultState& state) -> Py_hash_t {
    const auto hash = static_cast<Py_hash_t>(value_hash(state.result));
    return hash == -1 ? -2 : hash;
  });
}

}  // namespace quillon::py
