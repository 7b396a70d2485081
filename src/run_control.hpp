// Stopping a run on request, and the notices a run leaves for its user.
//
// A run (an execution or a propagation) stops at once when a node function
// or a dist transfer throws RunInterrupted, or when the embedding's
// RunControl::check_interrupt does: no further node call starts, calls
// already running on other threads finish, claims the run holds are given
// up as the stack unwinds, nothing of the interrupted node is kept, and the
// exception leaves the run for the embedding to re-raise. Ordinary node
// failures never interrupt anything.
//
// The embedding lends a run a RunControl; the thread that started the run
// polls it through an InterruptPoll between node calls and between blocks of
// draws, so that a request to stop is seen within a few milliseconds of
// engine-only work. A RunControl is used by that one thread only.
#pragma once

#include <chrono>
#include <exception>
#include <string_view>
#include <utility>

#include "graph_data.hpp"

namespace quillon {

// Unwinds a run that was asked to stop. `reason` is what the embedding
// re-raises in its caller (an exception object of the embedding's language);
// the engine only carries it. May be dropped on any thread.
class RunInterrupted : public std::exception {
 public:
  explicit RunInterrupted(PyObjectRef reason) noexcept : reason_(std::move(reason)) {}
  const PyObjectRef& reason() const noexcept { return reason_; }
  const char* what() const noexcept override { return "the run was interrupted"; }

 private:
  PyObjectRef reason_;
};

class RunControl {
 public:
  // Throws RunInterrupted when the run must stop (a pending signal whose
  // handler raised, say); returns otherwise.
  virtual void check_interrupt() = 0;
  // Shows the user one line the run wants read (without a line end).
  virtual void notice(std::string_view line) = 0;

 protected:
  ~RunControl() = default;
};

// Calls a RunControl's check at most once per kInterval: most polls cost one
// clock read. Without a control every poll is free and does nothing.
class InterruptPoll {
 public:
  static constexpr std::chrono::milliseconds kInterval{4};

  explicit InterruptPoll(RunControl* control) noexcept
      : control_(control), next_(control != nullptr ? Clock::now() + kInterval : Clock::time_point()) {}

  void operator()() {
    if (control_ == nullptr) return;
    const Clock::time_point now = Clock::now();
    if (now < next_) return;
    next_ = now + kInterval;
    control_->check_interrupt();
  }

  // Checks now, whenever the last check was.
  void now() {
    if (control_ == nullptr) return;
    next_ = Clock::now() + kInterval;
    control_->check_interrupt();
  }

 private:
  using Clock = std::chrono::steady_clock;
  RunControl* control_;
  Clock::time_point next_;
};

}  // namespace quillon
