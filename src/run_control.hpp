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
#include <cstdint>
#include <ctime>
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
  // Warns the user of something the run worked around (without a line
  // end); may throw RunInterrupted when the embedding turns warnings into
  // errors. By default a notice.
  virtual void warn(std::string_view message) { notice(message); }

 protected:
  ~RunControl() = default;
};

// Watches how far a run has come: `done` of `total` units, where each run
// says what a unit is. The engine calls it from the thread that started the
// run only, as often as after every node or block of draws, so an
// implementation throttles whatever it shows; `done` never decreases within
// a run. May throw RunInterrupted to stop the run.
class ProgressSink {
 public:
  virtual void update(std::uint64_t done, std::uint64_t total) = 0;

 protected:
  ~ProgressSink() = default;
};

// Calls a RunControl's check at most once per kInterval (and at least once
// per kInterval plus the clock's coarseness, when polled often enough): most
// polls cost one read of a coarse clock, a few nanoseconds, which even a
// chain of trivial nodes does not feel. Without a control every poll does
// nothing.
class InterruptPoll {
 public:
  static constexpr std::chrono::milliseconds kInterval{4};

  explicit InterruptPoll(RunControl* control) noexcept
      : control_(control), next_(control != nullptr ? coarse_now() + kInterval : std::chrono::nanoseconds()) {}

  void operator()() {
    if (control_ == nullptr) return;
    const std::chrono::nanoseconds now = coarse_now();
    if (now < next_) return;
    next_ = now + kInterval;
    control_->check_interrupt();
  }

 private:
  // A monotonic clock read that need not be precise: Linux's coarse clock
  // ticks every few milliseconds and costs a fraction of the precise one.
  static std::chrono::nanoseconds coarse_now() noexcept {
#ifdef CLOCK_MONOTONIC_COARSE
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
#else
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
#endif
  }

  RunControl* control_;
  std::chrono::nanoseconds next_;
};

}  // namespace quillon
