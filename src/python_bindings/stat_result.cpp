#include "python_bindings/stat_result.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "python_bindings/args.hpp"
#include "python_bindings/class_type.hpp"
#include "python_bindings/display.hpp"
#include "python_bindings/distribution.hpp"
#include "python_bindings/equality.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/pickling.hpp"
#include "python_bindings/plots.hpp"
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
  PyObject_GC_UnTrack(self);
  as_stat(self)->state.~StatResultState();
  type->tp_free(self);
  Py_DECREF(type);
}

// The kept particle list is the one Python object a StatResult holds; users
// may put anything in it, the result itself included.
int stat_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_stat(self)->state.particles.get());
  return 0;
}

// Breaks a cycle through the kept list; the next read builds a new one.
int stat_clear(PyObject* self) {
  PyRef dropped = std::move(as_stat(self)->state.particles);  // released last, with the slot already empty
  return 0;
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

// The keys particles hold, each with its column, in the order a particle's
// dict lists them. A column no particle has a value in is left out.
struct NamedColumn {
  PyRef name;
  const ParticleTable::Column* column;
};

bool any_present(const ParticleTable::Column& column, std::size_t count) {
  if (column.present.empty()) return count > 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (column.present[i]) return true;
  }
  return false;
}

std::vector<NamedColumn> named_columns(const ParticleTable& particles) {
  std::vector<NamedColumn> columns;
  columns.reserve(particles.column_count());
  particles.for_each_column([&](const std::string& key, const ParticleTable::Column& column) {
    if (!any_present(column, particles.size())) return;
    columns.push_back({text(key), &column});  // one key object per column: hashed once
  });
  return columns;
}

// A new list of one dict per particle, in particle order, each mapping the
// keys the particle holds, in column order, to new floats.
PyRef build_particles(const ParticleTable& particles) {
  const std::vector<NamedColumn> columns = named_columns(particles);
  // A particle holding (nearly) every key starts as a copy of a dict
  // holding every key in order, which copies as one block instead of
  // growing key by key (measured faster than a presized dict filled key by
  // key); its values are then replaced in place and a key it lacks is
  // removed (the others keep their order). A particle lacking many keys is
  // built key by key, so that it keeps no room for them.
  PyRef shape = check(PyDict_New());
  bool all_full = true;
  for (const NamedColumn& named : columns) {
    if (PyDict_SetItem(shape.get(), named.name.get(), Py_None) != 0) throw_python_error();
    all_full = all_full && named.column->present.empty();
  }
  const auto count = static_cast<Py_ssize_t>(particles.size());
  PyRef list = check(PyList_New(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const auto particle = static_cast<std::size_t>(i);
    std::size_t held = columns.size();
    if (!all_full) {
      held = 0;
      for (const NamedColumn& named : columns) held += named.column->has(particle) ? 1 : 0;
    }
    const bool from_shape = held * 4 >= columns.size() * 3;
    PyRef dict = check(from_shape ? PyDict_Copy(shape.get()) : PyDict_New());
    for (const NamedColumn& named : columns) {
      if (named.column->has(particle)) {
        PyRef number = check(PyFloat_FromDouble(named.column->at(particle)));
        if (PyDict_SetItem(dict.get(), named.name.get(), number.get()) != 0) throw_python_error();
      } else if (from_shape && PyDict_DelItem(dict.get(), named.name.get()) != 0) {
        throw_python_error();
      }
    }
    PyList_SET_ITEM(list.get(), i, dict.release());  // steals
  }
  return list;
}

PyObject* get_particles(PyObject* self, void*) {
  return with_shared_access<StatResultObject>(self, [](StatResultState& state) -> PyObject* {
    if (!state.result.particles) Py_RETURN_NONE;
    if (!state.particles) {
      PyRef built = build_particles(*state.result.particles);
      // Building allocates, so a collection may run in it and with it other
      // threads, which may read `particles` too: the first list stored is
      // the one every reader gets.
      if (!state.particles) state.particles = std::move(built);
    }
    return PyRef::borrow(state.particles.get()).release();
  });
}

// The particle table, or a ValueError telling the caller how to get one.
const ParticleTable& particles_of(const StatResult& result, const char* method) {
  if (!result.particles) {
    raise(PyExc_ValueError, std::string(method) +
                                " needs per-particle values, which only predict() keeps; this result came "
                                "from predict_at(): use predict()");
  }
  return *result.particles;
}

// `module` imported, or ImportError with `message` when it cannot be.
PyRef import_optional(const char* module, const char* message) {
  PyRef imported = PyRef::steal(PyImport_ImportModule(module));
  if (imported) return imported;
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_python_error();
  PyErr_Clear();
  raise(PyExc_ImportError, message);
}

// A new 1-D float64 numpy array of the column: its values copied in one
// block, NaN where a particle has no value.
PyRef column_array(PyObject* numpy_empty, const ParticleTable::Column& column, std::size_t count) {
  PyRef length = check(PyLong_FromSize_t(count));
  PyRef array = check(PyObject_CallOneArg(numpy_empty, length.get()));  // float64 by default
  Py_buffer view;
  if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    throw_python_error();
  }
  auto* out = static_cast<double*>(view.buf);
  if (count > 0) std::memcpy(out, column.values->data(), count * sizeof(double));
  if (!column.present.empty()) {
    for (std::size_t i = 0; i < count; ++i) {
      if (!column.present[i]) out[i] = std::numeric_limits<double>::quiet_NaN();
    }
  }
  PyBuffer_Release(&view);
  return array;
}

PyRef numpy_empty() {
  PyRef numpy = import_optional("numpy", "this method needs numpy: pip install numpy");
  return check(PyObject_GetAttrString(numpy.get(), "empty"));
}

PyRef columns_dict(const ParticleTable& particles) {
  PyRef empty = numpy_empty();
  PyRef out = check(PyDict_New());
  for (const NamedColumn& named : named_columns(particles)) {
    PyRef array = column_array(empty.get(), *named.column, particles.size());
    if (PyDict_SetItem(out.get(), named.name.get(), array.get()) != 0) throw_python_error();
  }
  return out;
}

PyObject* stat_to_numpy(PyObject* self, PyObject*) {
  return with_result(self, [](const StatResult& result) {
    return columns_dict(particles_of(result, "to_numpy()")).release();
  });
}

PyObject* stat_to_pandas(PyObject* self, PyObject*) {
  return with_result(self, [](const StatResult& result) {
    const ParticleTable& particles = particles_of(result, "to_pandas()");
    PyRef pandas = import_optional(
        "pandas", "to_pandas() needs pandas: pip install pandas (or the extra: pip install 'quillon[pandas]')");
    PyRef columns = columns_dict(particles);
    PyRef frame_type = check(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    PyRef range_index = check(PyObject_GetAttrString(pandas.get(), "RangeIndex"));
    PyRef length = check(PyLong_FromSize_t(particles.size()));
    PyRef index = check(PyObject_CallOneArg(range_index.get(), length.get()));
    PyRef args = check(PyTuple_Pack(1, columns.get()));
    PyRef kwargs = check(PyDict_New());
    // The arrays are new and ours: the frame may take them without a copy.
    if (PyDict_SetItemString(kwargs.get(), "index", index.get()) != 0 ||
        PyDict_SetItemString(kwargs.get(), "copy", Py_False) != 0) {
      throw_python_error();
    }
    return check(PyObject_Call(frame_type.get(), args.get(), kwargs.get())).release();
  });
}

PyObject* stat_samples(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_result(self, [&](const StatResult& result) {
    Arguments a("StatResult.samples", {"name"}, 1, args, nargs, kwnames);
    const std::string name = to_string(a[0], "name");
    const ParticleTable& particles = particles_of(result, "samples()");
    const ParticleTable::Column* column = particles.find(name);
    if (column == nullptr || !any_present(*column, particles.size())) {
      PyRef key = text(name);
      PyErr_SetObject(PyExc_KeyError, key.get());
      throw_python_error();
    }
    PyRef empty = numpy_empty();
    return column_array(empty.get(), *column, particles.size()).release();
  });
}

PyObject* stat_standard_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_result(self, [&](const StatResult& result) -> PyObject* {
    Arguments a("StatResult.standard_error", {"name"}, 1, args, nargs, kwnames);
    const std::string name = to_string(a[0], "name");
    const std::optional<Distribution> dist = result.get(name);
    if (!dist) {
      PyRef key = text(name);
      PyErr_SetObject(PyExc_KeyError, key.get());
      throw_python_error();
    }
    const StandardErrors errors = standard_errors(*dist);
    return Py_BuildValue("{s:d,s:d,s:d,s:d}", "mean", errors.mean, "p5", errors.p5, "p50", errors.p50, "p95",
                         errors.p95);
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

// len(), `in` and iteration see the names keys() lists. `in` never
// raises: anything but a listed str is simply absent.
Py_ssize_t stat_length(PyObject* self) {
  return with_shared_access<StatResultObject>(self, [](StatResultState& state) -> Py_ssize_t {
    return static_cast<Py_ssize_t>(state.result.keys().size());
  });
}

int stat_contains(PyObject* self, PyObject* key) {
  return with_shared_access<StatResultObject>(self, [&](StatResultState& state) -> int {
    if (!PyUnicode_Check(key)) return 0;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) {
      PyErr_Clear();  // a str with lone surrogates names no variable
      return 0;
    }
    const std::string name(data, static_cast<std::size_t>(size));
    return !is_internal_key(name) && state.result.vars.count(name) != 0 ? 1 : 0;
  });
}

PyObject* stat_iter(PyObject* self) {
  PyRef keys = PyRef::steal(stat_keys(self, nullptr));
  if (!keys) return nullptr;
  return PyObject_GetIter(keys.get());
}

PyObject* stat_repr_html(PyObject* self, PyObject*) {
  return with_result(self, [](const StatResult& result) { return stat_result_html(result); });
}

PyMethodDef kMethods[] = {
    {"__reduce__", reduce_stat_result, METH_NOARGS, "Pickle support: the result travels by value, particles included."},
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
    {"to_numpy", stat_to_numpy, METH_NOARGS,
     "to_numpy($self)\n--\n\n"
     "Per-particle values as columns: a dict mapping every variable name to a 1-D float64\n"
     "numpy array with one entry per particle (NaN where a particle has no value).  The\n"
     "keys are the keys of the `particles` dicts, in the same order.  Needs numpy; raises\n"
     "ValueError for a result from `predict_at()`."},
    {"to_pandas", stat_to_pandas, METH_NOARGS,
     "to_pandas($self)\n--\n\n"
     "Per-particle values as a pandas DataFrame: one row per particle, one column per\n"
     "variable, as `to_numpy()` gives them.  Needs pandas (the `pandas` extra)."},
    {"samples", fastcall(stat_samples), kFastKw,
     "samples($self, name)\n--\n\n"
     "One variable's per-particle values as a 1-D float64 numpy array (NaN where a\n"
     "particle has no value).  KeyError when no particle holds `name`."},
    {"standard_error", fastcall(stat_standard_error), kFastKw,
     "standard_error($self, name)\n--\n\nMonte Carlo standard errors of the variable's mean, p5, p50 and p95 as a "
     "dict, by batch means: the draws, in order, are cut into floor(sqrt(n)) batches, each statistic is taken per "
     "batch, and its error is the batches' standard deviation over the square root of their number. Zero for a "
     "variable that was not sampled; NaN with fewer than 4 draws. KeyError for an unknown name."},
    {"plot", fastcall(stat_result_plot), kFastKw, kStatResultPlotDoc},
    {"_repr_html_", stat_repr_html, METH_NOARGS,
     "_repr_html_($self)\n--\n\nA table of mean, std, p5, p50 and p95 of every variable, for notebooks."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"particles", get_particles, nullptr,
     "Aligned per-sample trajectories, or `None` when the result came from `predict_at()`\n"
     "rather than `predict()`.\n\n"
     "Returns a list of dicts: `particles[i]` maps every broadcast variable name to its\n"
     "concrete float value on sample `i`.  All variables in one dict share the same\n"
     "random seed, preserving the joint cross-variable distribution structure.\n\n"
     "The list is built on first access and the same list is returned afterwards;\n"
     "`to_numpy()` and `samples()` are the fast columnar route.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("Result of `Dag.predict()`.  Dict-like access returns `Distribution` objects.")},
    {Py_tp_new, reinterpret_cast<void*>(stat_new)},
    // Compared and hashed by value (equality.hpp).
    {Py_tp_richcompare, reinterpret_cast<void*>(stat_result_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(stat_result_hash)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stat_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(stat_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stat_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(stat_repr)},
    {Py_mp_subscript, reinterpret_cast<void*>(stat_subscript)},
    {Py_sq_length, reinterpret_cast<void*>(stat_length)},
    {Py_sq_contains, reinterpret_cast<void*>(stat_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(stat_iter)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillon.StatResult", sizeof(StatResultObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, kSlots};

}  // namespace

PyTypeObject* create_stat_result_type(PyObject* module) { return create_class(module, &kSpec, "StatResult"); }

PyObject* wrap_stat_result(const ModuleState& module, StatResult result) {
  PyTypeObject* type = module.stat_result_type;
  if (type == nullptr) raise(PyExc_SystemError, "the StatResult type is not initialised");
  PyRef self = check(type->tp_alloc(type, 0));
  new (&as_stat(self.get())->state) StatResultState{BorrowFlag{}, std::move(result), PyRef()};
  return self.release();
}

}  // namespace quillon::py
