#include "python_bindings/stat_result.hpp"

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "python_bindings/args.hpp"
#include "python_bindings/class_type.hpp"
#include "python_bindings/distribution.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

namespace {

StatResultObject* as_stat(PyObject* self) { return reinterpret_cast<StatResultObject*>(self); }

PyRef text(std::string_view value) {
  return check(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

// Runs `read` on the held result under shared access.
template <typename Read>
PyObject* with_result(PyObject* self, Read&& read) {
  return with_shared_access<StatResultObject>(
      self, [&](StatResultState& state) -> PyObject* { return read(state.result); });
}

// One code point of UTF-8 text starting at `pos`; `*length` receives its
// byte count. A malformed sequence reads as U+FFFD over one byte.
char32_t decode_utf8(std::string_view s, std::size_t pos, std::size_t* length) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[pos + k]); };
  const unsigned char lead = byte(0);
  std::size_t count = 0;
  char32_t cp = 0;
  if (lead < 0x80) {
    *length = 1;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    count = 2;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    count = 3;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    count = 4;
    cp = lead & 0x07;
  }
  if (count == 0 || pos + count > s.size()) {
    *length = 1;
    return 0xFFFD;
  }
  for (std::size_t k = 1; k < count; ++k) {
    if ((byte(k) & 0xC0) != 0x80) {
      *length = 1;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(k) & 0x3F);
  }
  *length = count;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// `name` in double quotes, debug-escaped: backslash and double quote get a
// backslash, tab, carriage return and line feed read \t, \r and \n, other
// non-printable characters \u{hex}.
void append_quoted(std::string& out, std::string_view name) {
  out += '"';
  std::size_t pos = 0;
  while (pos < name.size()) {
    std::size_t length = 1;
    const char32_t cp = decode_utf8(name, pos, &length);
    pos += length;
    switch (cp) {
      case U'\\': out += "\\\\"; continue;
      case U'"': out += "\\\""; continue;
      case U'\t': out += "\\t"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\n': out += "\\n"; continue;
      default: break;
    }
    if (Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp))) {
      append_utf8(out, cp);
    } else {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
      out += hex;
    }
  }
  out += '"';
}

PyObject* stat_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

void stat_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_stat(self)->state.~StatResultState();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* stat_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_result(self, [&](const StatResult& result) -> PyObject* {
    Arguments a("StatResult.get", {"key"}, 1, args, nargs, kwnames);
    const std::optional<Distribution> found = result.get(to_string(a[0], "key"));
    if (!found) Py_RETURN_NONE;
    return wrap_distribution(state_of_instance(self), *found).release();
  });
}

PyObject* stat_keys(PyObject* self, PyObject*) {
  return with_result(self, [](const StatResult& result) {
    const std::vector<std::string> keys = result.keys();
    PyRef list = check(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    for (std::size_t i = 0; i < keys.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text(keys[i]).release());  // steals
    }
    return list.release();
  });
}

PyObject* stat_for_branch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_result(self, [&](const StatResult& result) {
    Arguments a("StatResult.for_branch", {"branch_id"}, 1, args, nargs, kwnames);
    return dist_context_to_py_dict(state_of_instance(self), result.for_branch(to_u64(a[0], "branch_id"))).release();
  });
}

PyObject* stat_for_variant(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_result(self, [&](const StatResult& result) {
    Arguments a("StatResult.for_variant", {"variant_idx"}, 1, args, nargs, kwnames);
    return dist_context_to_py_dict(state_of_instance(self), result.for_variant(to_u64(a[0], "variant_idx")))
        .release();
  });
}

PyObject* get_particles(PyObject* self, void*) {
  return with_result(self, [](const StatResult& result) -> PyObject* {
    if (!result.particles) Py_RETURN_NONE;
    const ParticleTable& particles = *result.particles;
    const auto count = static_cast<Py_ssize_t>(particles.size());
    PyRef list = check(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) PyList_SET_ITEM(list.get(), i, check(PyDict_New()).release());  // steals
    // Column by column, so that each key becomes a str once.
    particles.for_each_column([&](const std::string& key, const ParticleTable::Column& column) {
      PyRef name = text(key);
      for (Py_ssize_t i = 0; i < count; ++i) {
        const auto particle = static_cast<std::size_t>(i);
        if (!column.has(particle)) continue;
        PyRef number = check(PyFloat_FromDouble(column.at(particle)));
        // The list is ours alone: its dicts stay put while they are filled.
        if (PyDict_SetItem(PyList_GET_ITEM(list.get(), i), name.get(), number.get()) != 0) throw_python_error();
      }
    });
    return list.release();
  });
}

PyObject* stat_print_summary(PyObject* self, PyObject*) {
  return with_result(self, [](const StatResult& result) -> PyObject* {
    // The summary goes straight to file descriptor 1; text still waiting in
    // sys.stdout's buffer is written first so that lines keep their order.
    // A stdout that cannot be flushed is not this call's concern.
    PyObject* stdout_stream = PySys_GetObject("stdout");  // borrowed
    if (stdout_stream != nullptr && stdout_stream != Py_None) {
      PyRef held = PyRef::borrow(stdout_stream);  // flush() may replace sys.stdout
      PyRef flushed = PyRef::steal(PyObject_CallMethod(held.get(), "flush", nullptr));
      if (!flushed) PyErr_Clear();
    }
    result.print_summary();
    Py_RETURN_NONE;
  });
}

PyObject* stat_subscript(PyObject* self, PyObject* key) {
  return with_result(self, [&](const StatResult& result) {
    const std::string name = to_string(key, "key");
    const std::optional<Distribution> found = result.get(name);
    if (!found) raise(PyExc_ValueError, "Variable '" + name + "' not found in StatResult");
    return wrap_distribution(state_of_instance(self), *found).release();
  });
}

PyObject* stat_repr(PyObject* self) {
  return with_result(self, [](const StatResult& result) {
    std::string out = "StatResult(vars=[";
    bool first = true;
    for (const auto& [key, dist] : result.vars) {
      if (is_internal_key(key)) continue;
      if (!first) out += ", ";
      first = false;
      append_quoted(out, key);
    }
    out += "])";
    return text(out).release();
  });
}

PyMethodDef kMethods[] = {
    {"get", fastcall(stat_get), kFastKw,
     "get($self, key)\n--\n\n`result.get(\"var\")` \xe2\x86\x92 `Distribution | None`."},
    {"keys", stat_keys, METH_NOARGS,
     "keys($self)\n--\n\nList broadcast variable names (excluding internal `__branch__` prefix keys)."},
    {"for_branch", fastcall(stat_for_branch), kFastKw,
     "for_branch($self, branch_id)\n--\n\nReturn a `{var: Distribution}` dict for a specific branch."},
    {"for_variant", fastcall(stat_for_variant), kFastKw,
     "for_variant($self, variant_idx)\n--\n\n"
     "Return a `{var: Distribution}` dict for a specific variant (0-based index)."},
    {"print_summary", stat_print_summary, METH_NOARGS,
     "print_summary($self)\n--\n\nPrint a human-readable summary to stdout."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"particles", get_particles, nullptr,
     "Aligned per-sample trajectories, or `None` when the result came from `predict_at()`\n"
     "rather than `predict()`.\n\n"
     "Returns a list of dicts: `particles[i]` maps every broadcast variable name to its\n"
     "concrete float value on sample `i`.  All variables in one dict share the same\n"
     "random seed, preserving the joint cross-variable distribution structure.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("Result of `Dag.predict()`.  Dict-like access returns `Distribution` objects.")},
    {Py_tp_new, reinterpret_cast<void*>(stat_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stat_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(stat_repr)},
    {Py_mp_subscript, reinterpret_cast<void*>(stat_subscript)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillon.StatResult", sizeof(StatResultObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

}  // namespace

PyTypeObject* create_stat_result_type(PyObject* module) { return create_class(module, &kSpec, "StatResult"); }

PyObject* wrap_stat_result(const ModuleState& module, StatResult result) {
  PyTypeObject* type = module.stat_result_type;
  if (type == nullptr) raise(PyExc_SystemError, "the StatResult type is not initialised");
  PyRef self = check(type->tp_alloc(type, 0));
  new (&as_stat(self.get())->state) StatResultState{BorrowFlag{}, std::move(result)};
  return self.release();
}

}  // namespace quillon::py
