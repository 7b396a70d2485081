// Reading and converting the arguments of Python-facing methods.
//
// Arguments reads positional and keyword arguments against a fixed parameter
// list and raises the interpreter's usual TypeErrors for too many, unknown,
// repeated or missing arguments. The to_* helpers convert one argument and
// raise TypeError "argument '<name>': expected <what>, got <type>" when the
// type is wrong; errors from the interpreter's own conversions keep their
// type, and TypeErrors among them get the "argument '<name>': " prefix; the
// integer conversions prefix OverflowErrors too ("argument 'n': can't convert
// negative int to unsigned").
// Requires: the interpreter lock. Values returned by Arguments are borrowed.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace quillon::py {

class Arguments {
 public:
  static constexpr std::size_t kMaxParameters = 10;

  // Vectorcall form (METH_FASTCALL | METH_KEYWORDS). `function` is the name
  // shown in messages, e.g. "Graph.add". The first `required` parameters
  // must be given. A name written "*seed" makes that parameter and every
  // later one keyword-only. Throws PythonError.
  Arguments(const char* function, std::initializer_list<const char*> names, std::size_t required,
            PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  // Tuple and dict form (tp_new). `kwargs` may be null.
  Arguments(const char* function, std::initializer_list<const char*> names, std::size_t required,
            PyObject* args, PyObject* kwargs);

  // The argument, or null when it was not given.
  PyObject* operator[](std::size_t index) const noexcept { return values_[index]; }

 private:
  void init_names(std::initializer_list<const char*> names);
  void set_keyword(PyObject* key, PyObject* value);
  void check_positional_count(Py_ssize_t nargs) const;
  void check_required() const;

  const char* function_;
  std::array<const char*, kMaxParameters> names_{};
  std::size_t count_ = 0;
  std::size_t required_ = 0;
  std::size_t positional_ = 0;  // parameters that may be given by position
  std::array<PyObject*, kMaxParameters> values_{};
};

// True for an omitted argument or an explicit None.
inline bool is_absent(PyObject* value) noexcept { return value == nullptr || value == Py_None; }

// TypeError "argument '<name>': expected <expected>, got <type of given>".
[[noreturn]] void raise_argument_type_error(const char* name, const char* expected, PyObject* given);
// The pending error: a TypeError is re-raised with the "argument '<name>': "
// prefix, anything else unchanged. Throws PythonError.
[[noreturn]] void rethrow_argument_error(const char* name);
// As rethrow_argument_error, and an OverflowError is re-raised as an
// OverflowError with the same prefix. Throws PythonError.
[[noreturn]] void rethrow_number_argument_error(const char* name);

bool to_bool(PyObject* value, const char* name);
std::string to_string(PyObject* value, const char* name);
std::optional<std::string> to_optional_string(PyObject* value, const char* name);
std::uint64_t to_u64(PyObject* value, const char* name);
std::optional<std::uint64_t> to_optional_u64(PyObject* value, const char* name);
// Any sequence of str except a str itself.
std::vector<std::string> to_string_list(PyObject* value, const char* name);

// UTF-8 text of a str; throws PythonError (UnicodeEncodeError for lone
// surrogates).
std::string utf8_of(PyObject* text);

}  // namespace quillon::py
