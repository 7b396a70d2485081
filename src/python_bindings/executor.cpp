#include "python_bindings/executor.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "python_bindings/embedded_module.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/executor_source.hpp"  // generated from executor.py
#include "python_bindings/gil.hpp"
#include "python_bindings/node_function.hpp"
#include "python_bindings/pickling.hpp"
#include "thread_annotations.hpp"

namespace quillon::py {

// The tickets of tasks whose futures are done, from the executor's threads
// (done-callbacks, with the interpreter lock) to the run's thread (without
// it). Nobody takes the interpreter lock while holding `mu`.
struct ExecutorDispatcher::Endings {
  Mutex mu;
  CondVar ended;
  std::vector<Ticket> tickets GUARDED_BY(mu);
};

namespace {

using Endings = ExecutorDispatcher::Endings;

PyObject* executor_module(ModuleState& state) {
  return embedded_module(state.executor, "quillon._executor", "quillon/_executor.py", kExecutorSource);
}

// The done-callback's body: `self` is a capsule holding the queue, `arg` the
// ticket. Callbacks may come after the run ended; the queue lives as long
// as the last of them.
constexpr char kEndingsCapsule[] = "quillon._executor.endings";

PyObject* note_ended(PyObject* self, PyObject* arg) {
  auto* endings = static_cast<std::shared_ptr<Endings>*>(PyCapsule_GetPointer(self, kEndingsCapsule));
  if (endings == nullptr) return nullptr;
  const unsigned long long ticket = PyLong_AsUnsignedLongLong(arg);
  if (ticket == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  return call_guarded([&]() -> PyObject* {
    Endings& queue = **endings;
    {
      MutexLock lock(queue.mu);
      queue.tickets.push_back(ticket);
    }
    queue.ended.notify_all();
    Py_RETURN_NONE;
  });
}

PyMethodDef kNoteEnded = {"_task_ended", note_ended, METH_O, nullptr};

void free_endings(PyObject* capsule) {
  delete static_cast<std::shared_ptr<Endings>*>(PyCapsule_GetPointer(capsule, kEndingsCapsule));
}

PyRef ticket_object(CallDispatcher::Ticket ticket) { return check(PyLong_FromUnsignedLongLong(ticket)); }

}  // namespace

ExecutorDispatcher::ExecutorDispatcher(ModuleState& state, PyObject* executor, std::span<const Node> nodes,
                                       const char* name)
    : endings_(std::make_shared<Endings>()) {
  PyObject* module = executor_module(state);  // borrowed
  auto* held = new std::shared_ptr<Endings>(endings_);
  PyRef capsule = PyRef::steal(PyCapsule_New(held, kEndingsCapsule, free_endings));
  if (!capsule) {
    delete held;
    throw_python_error();
  }
  PyRef notify = check(PyCFunction_New(&kNoteEnded, capsule.get()));
  PyRef dispatch_class = check(PyObject_GetAttrString(module, "Dispatch"));
  PyRef argument_name = check(PyUnicode_FromString(name));
  dispatch_ = check(PyObject_CallFunctionObjArgs(dispatch_class.get(), executor, notify.get(), argument_name.get(),
                                                 nullptr));
  PyRef local = check(PyObject_GetAttrString(dispatch_.get(), "local"));
  local_ = PyObject_IsTrue(local.get()) == 1;
  if (local_) return;
  for (const Node& node : nodes) {
    if (!node.function || payloads_.contains(node.function.get())) continue;
    PyObject* callable = python_callable(*node.function);  // borrowed
    if (callable == nullptr) continue;                      // not Python: made here
    const CallSite site{node.id, node.label ? std::optional<std::string_view>(*node.label) : std::nullopt, true};
    payloads_.emplace(node.function.get(), pickle_callable(callable, site));
  }
}

ExecutorDispatcher::~ExecutorDispatcher() = default;

bool ExecutorDispatcher::submit(Ticket ticket, const NodeCallable& function, const CallSite& /*site*/,
                                std::span<const std::span<const NamedValue>> calls) {
  GilGuard gil;
  PyObject* callable = python_callable(function);  // borrowed
  if (callable == nullptr) return false;
  PyObject* payload = Py_None;
  if (!local_) {
    auto found = payloads_.find(&function);
    if (found == payloads_.end()) return false;
    payload = found->second.get();
  }
  PyRef list = check(PyList_New(static_cast<Py_ssize_t>(calls.size())));
  for (std::size_t k = 0; k < calls.size(); ++k) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), input_dict(calls[k]).release());
  }
  PyRef ticket_ref = ticket_object(ticket);
  check(PyObject_CallMethod(dispatch_.get(), "submit", "OOOO", ticket_ref.get(), callable, payload, list.get()));
  return true;
}

void ExecutorDispatcher::wait(std::chrono::milliseconds timeout, std::vector<Ticket>& ended) {
  std::vector<Ticket> done;
  {
    MutexLock lock(endings_->mu);
    if (endings_->tickets.empty()) endings_->ended.wait_for(endings_->mu, timeout);
    done.swap(endings_->tickets);
  }
  if (done.empty()) return;
  GilGuard gil;
  for (Ticket ticket : done) {
    PyRef ticket_ref = ticket_object(ticket);
    PyRef settled = check(PyObject_CallMethod(dispatch_.get(), "settle", "O", ticket_ref.get()));
    if (settled.get() == Py_True) ended.push_back(ticket);
  }
}

bool ExecutorDispatcher::take(Ticket ticket, std::size_t index, OutputSink& sink, const CallSite& site) {
  GilGuard gil;
  PyRef ticket_ref = ticket_object(ticket);
  PyRef index_ref = check(PyLong_FromSize_t(index));
  PyRef outcome = check(PyObject_CallMethod(dispatch_.get(), "outcome", "OO", ticket_ref.get(), index_ref.get()));
  if (!PyTuple_Check(outcome.get()) || PyTuple_GET_SIZE(outcome.get()) < 2) {
    raise(PyExc_RuntimeError, "a task's outcome is not a (succeeded, value, ...) tuple");
  }
  PyObject* value = PyTuple_GET_ITEM(outcome.get(), 1);  // borrowed
  if (PyTuple_GET_ITEM(outcome.get(), 0) == Py_True) return offer_result(value, sink, site);
  std::string_view reason = "the call failed on a worker";
  if (PyTuple_GET_SIZE(outcome.get()) > 2) {
    if (const char* text = PyUnicode_AsUTF8(PyTuple_GET_ITEM(outcome.get(), 2))) {
      reason = text;
    } else {
      PyErr_Clear();
    }
  }
  return report_failure(site, PyUnicode_Check(value) ? value : nullptr, reason);
}

void ExecutorDispatcher::release(Ticket ticket) noexcept {
  GilGuard gil;
  ErrorScope pending;  // a caller's error stays as it was
  PyRef ticket_ref = PyRef::steal(PyLong_FromUnsignedLongLong(ticket));
  PyRef done = ticket_ref ? PyRef::steal(PyObject_CallMethod(dispatch_.get(), "release", "O", ticket_ref.get())) : PyRef();
  if (!done) PyErr_Clear();
}

void ExecutorDispatcher::abandon() noexcept {
  GilGuard gil;
  ErrorScope pending;
  PyRef done = PyRef::steal(PyObject_CallMethod(dispatch_.get(), "abandon", nullptr));
  if (!done) PyErr_Clear();
}

PyObject* run_task(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return call_guarded([&]() -> PyObject* {
    PyRef function = check(PyObject_GetAttrString(executor_module(state_of_module(module)), "run_task"));
    return check(PyObject_Vectorcall(function.get(), args, static_cast<std::size_t>(nargs), nullptr)).release();
  });
}

}  // namespace quillon::py
