#include "python_bindings/progress.hpp"

#include <string>

#include "python_bindings/args.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/interpreter_control.hpp"
#include "python_bindings/node_function.hpp"

namespace quillon::py {

std::unique_ptr<PythonProgress> PythonProgress::from_argument(PyObject* value, const char* unit) {
  if (is_absent(value) || value == Py_False) return nullptr;
  if (value == Py_True) {
    PyRef module = PyRef::steal(PyImport_ImportModule("tqdm"));
    PyRef bar_type = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "tqdm")) : PyRef();
    if (bar_type) return std::unique_ptr<PythonProgress>(new PythonProgress(Mode::kBar, std::move(bar_type), unit));
    // Without a usable tqdm the counter stands in; anything that is not an
    // ordinary error (an interrupt during the import) goes to the caller.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
    PyErr_Clear();
    return std::unique_ptr<PythonProgress>(new PythonProgress(Mode::kCounter, PyRef(), unit));
  }
  if (PyBool_Check(value) || !PyCallable_Check(value)) {
    raise_argument_type_error("progress", "bool or a callable taking (done, total)", value);
  }
  return std::unique_ptr<PythonProgress>(new PythonProgress(Mode::kCallable, PyRef::borrow(value), unit));
}

PythonProgress::PythonProgress(Mode mode, PyRef target, const char* unit)
    : mode_(mode), target_(std::move(target)), unit_(unit), next_(std::chrono::steady_clock::now() + kInterval) {}

PythonProgress::~PythonProgress() = default;

void PythonProgress::update(std::uint64_t done, std::uint64_t total) {
  if (shown_any_ && shown_done_ == done) return;  // nothing new to show
  if (done < total) {
    // Most calls end here, at the cost of one clock read.
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return;
    next_ = now + kInterval;
  }
  GilGuard gil;
  show(done, total);
}

void PythonProgress::show(std::uint64_t done, std::uint64_t total) {
  shown_any_ = true;
  switch (mode_) {
    case Mode::kCallable: {
      PyRef result = PyRef::steal(PyObject_CallFunction(target_.get(), "KK", static_cast<unsigned long long>(done),
                                                        static_cast<unsigned long long>(total)));
      shown_done_ = done;
      if (!result) throw_run_interrupted();  // the callable's exception stops the run
      return;
    }
    case Mode::kBar: {
      if (!bar_) {
        PyRef args = check(PyTuple_New(0));
        PyRef kwargs = check(Py_BuildValue("{s:K,s:s,s:s}", "total", static_cast<unsigned long long>(total), "unit",
                                           unit_, "desc", "quillon"));
        bar_ = PyRef::steal(PyObject_Call(target_.get(), args.get(), kwargs.get()));
        if (!bar_) throw_run_interrupted();
      }
      PyRef result = PyRef::steal(
          PyObject_CallMethod(bar_.get(), "update", "K", static_cast<unsigned long long>(done - shown_done_)));
      shown_done_ = done;
      if (!result) throw_run_interrupted();
      return;
    }
    case Mode::kCounter: {
      shown_done_ = done;
      const std::string line = "\rquillon: " + std::to_string(done) + "/" + std::to_string(total) + " " + unit_;
      write_to_stderr(line.c_str());
      return;
    }
  }
}

void PythonProgress::close() noexcept {
  if (closed_) return;
  closed_ = true;
  ErrorScope keep_pending;
  if (mode_ == Mode::kBar && bar_) {
    PyRef closed = PyRef::steal(PyObject_CallMethod(bar_.get(), "close", nullptr));
    PyErr_Clear();
  } else if (mode_ == Mode::kCounter && shown_any_) {
    write_to_stderr("\n");
  }
}

}  // namespace quillon::py
