// Running a Dag's node calls on a concurrent.futures executor (a process or
// thread pool, a Dask client or its executor, anything whose submit returns
// futures): the engine's CallDispatcher (dispatch.hpp) over the Dispatch
// class of executor.py.
//
// Submitting converts a task's inputs to dicts and hands them, with the
// node callable's pickled bytes (pickling.hpp), to the executor; a future's
// done-callback puts its ticket on a queue that wait() reads without the
// interpreter lock. Worker tracebacks come back as text and are reported on
// this process's sys.stderr under the node's line, as local failures are.
#pragma once

#include <Python.h>

#include <chrono>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "dag/dag.hpp"
#include "dispatch.hpp"
#include "python_bindings/module_state.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

class ExecutorDispatcher final : public CallDispatcher {
 public:
  // Checks `executor` (TypeError naming the argument `name`) and, unless
  // its workers are threads of this process, pickles every node callable of
  // `nodes` once, so that a callable no worker could receive stops the call
  // before anything runs (TypeError naming the node). Requires: the lock.
  ExecutorDispatcher(ModuleState& state, PyObject* executor, std::span<const Node> nodes, const char* name);
  // Requires: the lock.
  ~ExecutorDispatcher();
  ExecutorDispatcher(const ExecutorDispatcher&) = delete;
  ExecutorDispatcher& operator=(const ExecutorDispatcher&) = delete;

  // Each takes the lock itself; called without it.
  bool submit(Ticket ticket, const NodeCallable& function, const CallSite& site,
              std::span<const std::span<const NamedValue>> calls) override;
  void wait(std::chrono::milliseconds timeout, std::vector<Ticket>& ended) override;
  bool take(Ticket ticket, std::size_t index, OutputSink& sink, const CallSite& site) override;
  void release(Ticket ticket) noexcept override;
  void abandon() noexcept override;

  struct Endings;

 private:
  std::shared_ptr<Endings> endings_;
  PyRef dispatch_;
  bool local_ = false;
  // Per node function: its callable's pickled bytes.
  std::unordered_map<const NodeCallable*, PyRef> payloads_;
};

// quillon._run_task, what every task runs on a worker. Requires: the lock.
PyObject* run_task(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace quillon::py
