// CallDispatcher: node calls carried to workers outside the engine.
//
// A run or propagation given a dispatcher still decides everything itself:
// which calls to make and when, the cache keys, the lookups and the stores,
// so what it reports is what a local run reports. The dispatcher only
// carries calls to wherever they run (another process, another machine) and
// their outcomes back. A task is one or more calls of one node function,
// submitted together; their outcomes are read back call by call, in the
// order the calls were submitted.
//
// The engine uses a dispatcher from the thread that started the run only,
// never while holding a lock of its own, and never sees how the embedding
// represents a task. Tasks whose worker is lost are the dispatcher's to
// retry; a task ends once it ran or was given up.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "node.hpp"

namespace quillon {

class CallDispatcher {
 public:
  using Ticket = std::uint64_t;

  // Starts the calls of `function` for the node at `site`, one per input
  // set in `calls`, as the task `ticket` (not in use). The inputs need to
  // live only until submit returns. False when the function cannot be sent
  // away: nothing was started, and the caller makes the calls itself. May
  // throw RunInterrupted.
  virtual bool submit(Ticket ticket, const NodeCallable& function, const CallSite& site,
                      std::span<const std::span<const NamedValue>> calls) = 0;

  // Waits at most `timeout` for tasks to end and appends the tickets of the
  // tasks that ended to `ended`, each once. May throw RunInterrupted.
  virtual void wait(std::chrono::milliseconds timeout, std::vector<Ticket>& ended) = 0;

  // Call `index` of the ended task `ticket`: its outputs offered to `sink`,
  // true; or false when the call failed, reported as `site` asks (as a
  // local call reports it) with its reason noted (note_call_failure). May
  // throw RunInterrupted.
  virtual bool take(Ticket ticket, std::size_t index, OutputSink& sink, const CallSite& site) = 0;

  // Forgets the task `ticket`, ended or not; its ticket may be used again.
  virtual void release(Ticket ticket) noexcept = 0;

  // Cancels the tasks that have not started and forgets every task: the run
  // is stopping. Calls already running on workers run to their end there.
  virtual void abandon() noexcept = 0;

 protected:
  ~CallDispatcher() = default;
};

}  // namespace quillon
