// The interpreter's side of stopping runs: which exceptions of user code
// stop a whole run, the signal check runs poll, and where their notices go.
//
// The error policy for every user callable the engine runs (node functions,
// dist transfers): an exception that is an Exception is the callable's own
// failure (a node prints it and the run goes on; a transfer gives no
// answer); any other BaseException (KeyboardInterrupt, SystemExit,
// GeneratorExit, a signal handler's exception) stops the run and is raised
// again in the caller of execute, predict or predict_at.
// Requires: the interpreter lock, except where stated.
#pragma once

#include <Python.h>

#include <string_view>

#include "run_control.hpp"

namespace quillon::py {

// Whether the pending exception must stop the run rather than fail one call.
bool pending_error_stops_run() noexcept;

// Takes the pending exception and throws it as RunInterrupted.
[[noreturn]] void throw_run_interrupted();

// Sets the exception a RunInterrupted carries as the pending error.
void restore_interruption(const RunInterrupted& interrupted) noexcept;

// The control lent to every run the bindings start: checks the
// interpreter's pending signals (running their handlers, which may raise)
// and writes notices as lines on sys.stderr. Used on the thread that starts
// the run, which does not hold the lock while the run goes on: each use
// takes it.
class InterpreterControl final : public RunControl {
 public:
  void check_interrupt() override;
  void notice(std::string_view line) override;
  // A RuntimeWarning; a warning filter that makes it an error stops the run
  // with that error.
  void warn(std::string_view message) override;
};

}  // namespace quillon::py
