#include "python_bindings/code_version.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "cache/keys.hpp"
#include "python_bindings/content_key.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

namespace {

// Set when a code object has a docstring among its constants (3.14 on); a
// docstring must not change the token, so neither may the flag.
constexpr long kHasDocstringFlag = 0x4000000;

void feed_u64(ContentHasher& hasher, std::uint64_t value) {
  std::array<unsigned char, 8> bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  hasher.update(bytes.data(), bytes.size());
}

void feed_tag(ContentHasher& hasher, char t) { hasher.update(&t, 1); }

void feed_digest(ContentHasher& hasher, const ContentDigest& digest) { hasher.update(digest.data(), digest.size()); }

// Digests the callables of one label. Recursion through closures (a
// function that holds itself, directly or not) is cut by recording the
// functions on the current path: meeting one again feeds its position.
class CodeDigester {
 public:
  CodeDigester(std::string_view function, std::string_view label) : function_(function), label_(label) {
    PyRef dis = check(PyImport_ImportModule("dis"));
    PyRef hasconst = check(PyObject_GetAttrString(dis.get(), "hasconst"));
    PyRef extended = check(PyObject_GetAttrString(dis.get(), "EXTENDED_ARG"));
    extended_arg_ = PyLong_AsLong(extended.get());
    if (extended_arg_ == -1 && PyErr_Occurred()) throw_python_error();
    PyRef items = check(PySequence_Tuple(hasconst.get()));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      const long op = PyLong_AsLong(PyTuple_GET_ITEM(items.get(), i));
      if (op == -1 && PyErr_Occurred()) throw_python_error();
      if (op >= 0 && op < 256) loads_const_[static_cast<std::size_t>(op)] = true;
    }
    PyRef functools = check(PyImport_ImportModule("functools"));
    partial_type_ = check(PyObject_GetAttrString(functools.get(), "partial"));
  }

  ContentDigest callable(PyObject* object) {
    ContentHasher hasher;
    if (object == nullptr) {
      feed_tag(hasher, 'N');  // a node without a function
    } else if (PyFunction_Check(object)) {
      feed_tag(hasher, 'F');
      feed_digest(hasher, function(object));
    } else if (PyMethod_Check(object)) {
      feed_tag(hasher, 'M');
      feed_digest(hasher, callable(PyMethod_GET_FUNCTION(object)));
    } else if (is_partial(object)) {
      feed_tag(hasher, 'P');
      PyRef func = check(PyObject_GetAttrString(object, "func"));
      PyRef args = check(PyObject_GetAttrString(object, "args"));
      PyRef keywords = check(PyObject_GetAttrString(object, "keywords"));
      feed_digest(hasher, callable(func.get()));
      feed_digest(hasher, value(args.get(), "partial argument"));
      feed_digest(hasher, value(keywords.get(), "partial keyword"));
    } else {
      PyRef call;
      if (!PyType_Check(object)) {
        call = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__call__"));
        if (!call) PyErr_Clear();
      }
      if (!call || !PyFunction_Check(call.get())) no_token("a callable of type '" + type_name_of(object) + "' has no Python code");
      feed_tag(hasher, 'O');
      feed_digest(hasher, function(call.get()));
    }
    return hasher.finish();
  }

 private:
  [[noreturn]] void no_token(const std::string& why) {
    std::string message(function_);
    message += ": cannot derive a code version for label '";
    message += label_;
    message += "': ";
    message += why;
    raise(PyExc_TypeError, message);
  }

  bool is_partial(PyObject* object) {
    const int is = PyObject_IsInstance(object, partial_type_.get());
    if (is < 0) throw_python_error();
    return is == 1;
  }

  ContentDigest function(PyObject* func) {
    ContentHasher hasher;
    const auto on_path = std::find(path_.begin(), path_.end(), func);
    if (on_path != path_.end()) {
      feed_tag(hasher, 'R');
      feed_u64(hasher, static_cast<std::uint64_t>(on_path - path_.begin()));
      return hasher.finish();
    }
    path_.push_back(func);
    struct Leave {
      std::vector<PyObject*>& path;
      ~Leave() { path.pop_back(); }
    } leave{path_};

    feed_tag(hasher, 'f');
    feed_digest(hasher, code(PyFunction_GET_CODE(func)));  // borrowed, as are the three below

    PyObject* defaults = PyFunction_GET_DEFAULTS(func);
    feed_u64(hasher, defaults != nullptr ? static_cast<std::uint64_t>(PyTuple_GET_SIZE(defaults)) : 0);
    if (defaults != nullptr) {
      PyRef held = PyRef::borrow(defaults);
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(defaults); ++i) {
        feed_digest(hasher, value(PyTuple_GET_ITEM(defaults, i), "default"));
      }
    }

    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(func);
    if (kwdefaults != nullptr && PyDict_Check(kwdefaults)) {
      // Keyword defaults by name, so that their order does not matter.
      PyRef entries = check(PyDict_Items(kwdefaults));
      std::vector<std::array<ContentDigest, 2>> pairs;
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(entries.get(), i);
        pairs.push_back({value(PyTuple_GET_ITEM(entry, 0), "keyword default name"),
                         value(PyTuple_GET_ITEM(entry, 1), "keyword default")});
      }
      std::sort(pairs.begin(), pairs.end());
      feed_u64(hasher, pairs.size());
      for (const auto& pair : pairs) {
        feed_digest(hasher, pair[0]);
        feed_digest(hasher, pair[1]);
      }
    } else {
      feed_u64(hasher, 0);
    }

    PyObject* closure = PyFunction_GET_CLOSURE(func);
    if (closure != nullptr && PyTuple_Check(closure)) {
      PyRef held = PyRef::borrow(closure);
      feed_u64(hasher, static_cast<std::uint64_t>(PyTuple_GET_SIZE(closure)));
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(closure); ++i) {
        PyObject* cell = PyTuple_GET_ITEM(closure, i);
        PyObject* contents = PyCell_Check(cell) ? PyCell_GET(cell) : nullptr;  // borrowed
        if (contents == nullptr) {
          feed_tag(hasher, 'E');  // a cell not yet filled
          continue;
        }
        PyRef held_contents = PyRef::borrow(contents);
        feed_tag(hasher, 'V');
        feed_digest(hasher, value(contents, "closure value"));
      }
    } else {
      feed_u64(hasher, 0);
    }
    return hasher.finish();
  }

  // The content digest of `object`; a function by its code.
  ContentDigest value(PyObject* object, const char* what) {
    if (PyFunction_Check(object)) {
      ContentHasher hasher;
      feed_tag(hasher, 'F');
      feed_digest(hasher, function(object));
      return hasher.finish();
    }
    ContentDigest digest;
    switch (content_digest(object, digest)) {
      case DigestOutcome::kDigested:
        return digest;
      case DigestOutcome::kStopped:
        throw_python_error();
      case DigestOutcome::kCannot:
        break;
    }
    no_token(std::string("a ") + what + " of type '" + type_name_of(object) + "' has no content digest");
  }

  ContentDigest code(PyObject* code_object) {
    PyRef held = PyRef::borrow(code_object);
    ContentHasher hasher;
    feed_tag(hasher, 'C');
    for (const char* field : {"co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_flags"}) {
      PyRef number = check(PyObject_GetAttrString(code_object, field));
      long n = PyLong_AsLong(number.get());
      if (n == -1 && PyErr_Occurred()) throw_python_error();
      if (std::string_view(field) == "co_flags") n &= ~kHasDocstringFlag;
      feed_u64(hasher, static_cast<std::uint64_t>(n));
    }
    for (const char* field : {"co_names", "co_varnames", "co_freevars", "co_cellvars"}) {
      PyRef names = check(PyObject_GetAttrString(code_object, field));
      feed_digest(hasher, value(names.get(), "name table"));
    }

    // The instructions, each as its opcode and argument, except that an
    // argument naming a constant is replaced by that constant's digest. A
    // constant no instruction loads (the docstring) therefore never enters,
    // and neither do the constant indices its presence shifts.
    PyRef bytecode = check(PyObject_GetAttrString(code_object, "co_code"));
    PyRef consts = check(PyObject_GetAttrString(code_object, "co_consts"));
    if (!PyBytes_Check(bytecode.get()) || !PyTuple_Check(consts.get())) no_token("a code object without bytecode");
    const auto* units = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytecode.get()));
    const Py_ssize_t size = PyBytes_GET_SIZE(bytecode.get());
    std::unordered_map<std::uint64_t, ContentDigest> const_digests;
    std::uint64_t extended = 0;
    for (Py_ssize_t i = 0; i + 1 < size; i += 2) {
      const unsigned char op = units[i];
      const std::uint64_t arg = (extended << 8) | units[i + 1];
      if (op == extended_arg_) {
        extended = arg;
        continue;
      }
      extended = 0;
      feed_tag(hasher, static_cast<char>(op));
      if (!loads_const_[op]) {
        feed_u64(hasher, arg);
        continue;
      }
      auto found = const_digests.find(arg);
      if (found == const_digests.end()) {
        if (arg >= static_cast<std::uint64_t>(PyTuple_GET_SIZE(consts.get()))) no_token("bytecode naming a missing constant");
        PyObject* constant = PyTuple_GET_ITEM(consts.get(), static_cast<Py_ssize_t>(arg));
        const ContentDigest digest = PyCode_Check(constant) ? code(constant) : value(constant, "constant");
        found = const_digests.emplace(arg, digest).first;
      }
      feed_digest(hasher, found->second);
    }
    return hasher.finish();
  }

  std::string_view function_;
  std::string_view label_;
  std::array<bool, 256> loads_const_{};
  long extended_arg_ = -1;
  PyRef partial_type_;
  std::vector<PyObject*> path_;
};

}  // namespace

std::string code_version_token(const std::vector<PyObject*>& callables, std::string_view function,
                               std::string_view label) {
  CodeDigester digester(function, label);
  ContentHasher hasher;
  feed_tag(hasher, 'L');
  feed_u64(hasher, callables.size());
  for (PyObject* callable : callables) feed_digest(hasher, digester.callable(callable));
  return "code:" + hex_of(hasher.finish());
}

}  // namespace quillon::py
