#include "python_bindings/dist_transfer.hpp"

#include <optional>
#include <string>
#include <utility>

#include "distribution/dist_transfer.hpp"
#include "python_bindings/container_walk.hpp"
#include "python_bindings/distribution.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/py_ref.hpp"
#include "python_bindings/interpreter_control.hpp"

namespace quillon::py {

namespace {

// The transfer's function object, held by value inside the engine's
// DistTransferFn (copies share the callable's owner).
class PythonDistTransfer {
 public:
  PythonDistTransfer(const ModuleState& module, PyObject* callable) : module_(&module) {
    Py_INCREF(callable);  // held by the owner below; released through the hook
    callable_ = PyObjectRef::steal(callable);
  }

  std::optional<DistMap> operator()(const DistMap& inputs) const {
    GilGuard gil;
    // Running out of memory counts as no answer, like any other failure.
    std::optional<DistMap> answer =
        call_for_run([&] { return call(inputs); }, [] { return std::optional<DistMap>(); });
    // Whatever went wrong stays inside: the caller falls back to sampling.
    PyErr_Clear();
    return answer;
  }

 private:
  // Requires: the interpreter lock. Throws PythonError when building the
  // argument fails.
  std::optional<DistMap> call(const DistMap& inputs) const {
    PyRef args = dist_context_to_py_dict(*module_, inputs);
    PyRef result = PyRef::steal(PyObject_CallOneArg(static_cast<PyObject*>(callable_.get()), args.get()));
    args = PyRef();
    if (!result && pending_error_stops_run()) throw_run_interrupted();
    if (!result || !PyDict_Check(result.get())) return std::nullopt;
    return read_answer(result.get());
  }

  // The str-keyed Distribution entries of the returned dict, in dict order
  // (a later equal key replaces an earlier one); other values are skipped.
  // One key that is not a str voids the whole answer, and so does an answer
  // without entries. The entries are those the dict held when reading began.
  std::optional<DistMap> read_answer(PyObject* dict) const {
    DistMap answer;
    bool voided = false;
    for_each_entry(dict, [&](PyObject* key, PyObject* value) {
      if (!PyUnicode_Check(key)) {
        voided = true;
        return false;
      }
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(key, &size);
      if (data == nullptr) {  // not valid text: a key that does not convert
        voided = true;
        return false;
      }
      if (is_distribution(*module_, value)) {
        answer.insert_or_assign(std::string(data, static_cast<std::size_t>(size)), distribution_of(value));
      }
      return true;
    });
    if (voided || answer.empty()) return std::nullopt;
    return answer;
  }

  const ModuleState* module_;
  PyObjectRef callable_;

  friend PyObject* quillon::py::held_callable(const DistTransferFn& transfer) noexcept;
  friend PyObject* quillon::py::python_callable(const DistTransferFn& transfer) noexcept;
};

}  // namespace

DistTransfer create_python_dist_transfer(const ModuleState& module, PyObject* callable) {
  return make_dist_transfer(PythonDistTransfer(module, callable));
}

PyObject* held_callable(const DistTransferFn& transfer) noexcept {
  const auto* python = transfer.fn.target<PythonDistTransfer>();
  if (python == nullptr || python->callable_.use_count() != 1) return nullptr;
  return static_cast<PyObject*>(python->callable_.get());
}

PyObject* python_callable(const DistTransferFn& transfer) noexcept {
  const auto* python = transfer.fn.target<PythonDistTransfer>();
  return python == nullptr ? nullptr : static_cast<PyObject*>(python->callable_.get());
}

}  // namespace quillon::py
