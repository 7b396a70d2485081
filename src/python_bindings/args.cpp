#include "python_bindings/args.hpp"

#include <cassert>
#include <cstring>
#include <vector>

#include "python_bindings/container_walk.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

Arguments::Arguments(const char* function, std::initializer_list<const char*> names, std::size_t required,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
    : function_(function), count_(names.size()), required_(required) {
  init_names(names);
  check_positional_count(nargs);
  for (Py_ssize_t k = 0; k < nargs; ++k) values_[static_cast<std::size_t>(k)] = args[k];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) set_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
  }
  check_required();
}

Arguments::Arguments(const char* function, std::initializer_list<const char*> names, std::size_t required,
                     PyObject* args, PyObject* kwargs)
    : function_(function), count_(names.size()), required_(required) {
  init_names(names);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  check_positional_count(nargs);
  for (Py_ssize_t k = 0; k < nargs; ++k) values_[static_cast<std::size_t>(k)] = PyTuple_GET_ITEM(args, k);
  if (kwargs != nullptr) {
    for_each_entry(kwargs, [&](PyObject* key, PyObject* value) {
      set_keyword(key, value);
      return true;
    });
  }
  check_required();
}

void Arguments::init_names(std::initializer_list<const char*> names) {
  // A parameter list longer than kMaxParameters is a programming error.
  assert(names.size() <= kMaxParameters && required_ <= names.size());
  if (count_ > kMaxParameters) count_ = kMaxParameters;
  std::size_t i = 0;
  positional_ = count_;
  for (const char* n : names) {
    if (i == count_) break;
    // "*name": this parameter and all after it are keyword-only.
    if (n[0] == '*') {
      if (positional_ == count_) positional_ = i;
      ++n;
    }
    names_[i++] = n;
  }
}

void Arguments::check_positional_count(Py_ssize_t nargs) const {
  const std::size_t positional = positional_;
  if (nargs <= static_cast<Py_ssize_t>(positional)) return;
  if (positional == 0) {
    PyErr_Format(PyExc_TypeError, count_ == 0 ? "%s() takes no arguments (%zd given)"
                                              : "%s() takes no positional arguments (%zd given)",
                 function_, nargs);
  } else if (required_ == positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given", function_, positional,
                 positional == 1 ? "" : "s", nargs);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd were given",
                 function_, required_, positional, nargs);
  }
  throw_python_error();
}

void Arguments::set_keyword(PyObject* key, PyObject* value) {
  if (PyUnicode_Check(key)) {
    for (std::size_t i = 0; i < count_; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, names_[i]) != 0) continue;
      if (values_[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function_, names_[i]);
        throw_python_error();
      }
      values_[i] = value;
      return;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, key);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function_);
  }
  throw_python_error();
}

void Arguments::check_required() const {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required_; ++i) {
    if (values_[i] == nullptr) missing.push_back(names_[i]);
  }
  if (missing.empty()) return;
  // Listed the way the interpreter lists them: 'a', 'a' and 'b', 'a', 'b', and 'c'.
  std::string listed;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) listed += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    listed += "'";
    listed += missing[i];
    listed += "'";
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", function_, missing.size(),
               missing.size() == 1 ? "" : "s", listed.c_str());
  throw_python_error();
}

void raise_argument_type_error(const char* name, const char* expected, PyObject* given) {
  const std::string got = type_name_of(given);
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, expected, got.c_str());
  throw_python_error();
}

namespace {

// Replaces the pending error with one of type `type` whose text is the
// argument's name before the old text (`fallback` when it has none).
[[noreturn]] void reword_pending_error(PyObject* type, const char* name, const char* fallback) {
  ErrorScope error;
  PyObject* exception = error.exception();  // borrowed from `error`
  PyRef text = PyRef::steal(exception != nullptr ? PyObject_Str(exception) : nullptr);
  error.drop();  // replaced by the reworded error below
  if (!text) {
    PyErr_Clear();
    PyErr_Format(type, "argument '%s': %s", name, fallback);
  } else {
    PyErr_Format(type, "argument '%s': %U", name, text.get());
  }
  throw_python_error();
}

}  // namespace

void rethrow_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
  reword_pending_error(PyExc_TypeError, name, "invalid value");
}

void rethrow_number_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_OverflowError)) rethrow_argument_error(name);
  reword_pending_error(PyExc_OverflowError, name, "value out of range");
}

std::string utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw_python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

bool to_bool(PyObject* value, const char* name) {
  if (!PyBool_Check(value)) raise_argument_type_error(name, "bool", value);
  return value == Py_True;
}

std::string to_string(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) raise_argument_type_error(name, "str", value);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) rethrow_argument_error(name);
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> to_optional_string(PyObject* value, const char* name) {
  if (is_absent(value)) return std::nullopt;
  return to_string(value, name);
}

std::uint64_t to_u64(PyObject* value, const char* name) {
  // The interpreter's own conversion: __index__ for non-int objects, then the
  // unsigned range check ("can't convert negative int to unsigned"), both
  // reported under the argument's name.
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) rethrow_number_argument_error(name);
  const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow_number_argument_error(name);
  return static_cast<std::uint64_t>(result);
}

std::optional<std::uint64_t> to_optional_u64(PyObject* value, const char* name) {
  if (is_absent(value)) return std::nullopt;
  return to_u64(value, name);
}

std::vector<std::string> to_string_list(PyObject* value, const char* name) {
  if (PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    throw_python_error();
  }
  if (!PySequence_Check(value)) raise_argument_type_error(name, "a sequence of str", value);
  std::vector<std::string> result;
  result.reserve(static_cast<std::size_t>(stored_size(value)));
  const WalkResult walked = for_each_item(value, [&](PyObject* item) {
    result.push_back(to_string(item, name));
    return true;
  });
  if (walked == WalkResult::kReadFailed) rethrow_argument_error(name);
  return result;
}

}  // namespace quillon::py
