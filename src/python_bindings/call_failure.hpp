// The one-line reason of a failed node call, noted for the run's report
// (note_call_failure, node.hpp). Only ever called on failure paths.
// Requires: the interpreter lock.
#pragma once

#include <Python.h>

#include <string_view>

namespace quillon::py {

// Notes `text` up to its first line end.
void note_failure_line(std::string_view text) noexcept;

// Notes "TypeName: message" of the pending exception, which stays pending.
void note_pending_exception() noexcept;

// Notes that a call returned `result`, which is not a dict.
void note_not_a_dict(PyObject* result) noexcept;

}  // namespace quillon::py
