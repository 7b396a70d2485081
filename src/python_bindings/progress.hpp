// The `progress` argument of execute, predict and predict_at, shown.
//
// progress=True shows a tqdm bar when tqdm can be imported and otherwise a
// one-line counter on sys.stderr rewritten in place; a callable receives
// (done, total) as two ints. The engine tells the sink after every node or
// block of draws, from the thread that started the run; the sink passes an
// update on at most once per kInterval (the first after one interval) and
// always passes on the final one (done == total), so a fast run shows
// nothing but its end; a count already shown is not shown again. A callable that raises stops the run, and its
// exception reaches the caller. Used by that one thread only.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "python_bindings/py_ref.hpp"
#include "run_control.hpp"

namespace quillon::py {

class PythonProgress final : public ProgressSink {
 public:
  static constexpr std::chrono::milliseconds kInterval{100};

  // The sink for the argument `value` (absent, None or False: none);
  // `unit` names what is counted on the bar. Raises TypeError naming
  // `progress` for anything but a bool, None or a callable.
  // Requires: the interpreter lock.
  static std::unique_ptr<PythonProgress> from_argument(PyObject* value, const char* unit);

  // Called without the interpreter lock; takes it to show an update.
  void update(std::uint64_t done, std::uint64_t total) override;

  // Ends what is shown (closes the bar, ends the counter's line). Requires:
  // the interpreter lock; keeps a pending exception.
  void close() noexcept;

  ~PythonProgress();

 private:
  enum class Mode { kCallable, kBar, kCounter };
  PythonProgress(Mode mode, PyRef target, const char* unit);

  // Requires: the interpreter lock.
  void show(std::uint64_t done, std::uint64_t total);

  Mode mode_;
  PyRef target_;  // the callable, or the tqdm class
  PyRef bar_;     // the tqdm bar, once made
  const char* unit_;
  std::chrono::steady_clock::time_point next_;
  std::uint64_t shown_done_ = 0;
  bool shown_any_ = false;
  bool closed_ = false;
};

}  // namespace quillon::py
