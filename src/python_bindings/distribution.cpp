#include "python_bindings/distribution.hpp"

#include <cmath>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "graph_data.hpp"
#include "python_bindings/args.hpp"
#include "python_bindings/class_type.hpp"
#include "python_bindings/container_walk.hpp"
#include "python_bindings/convert.hpp"
#include "python_bindings/display.hpp"
#include "python_bindings/equality.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/pickling.hpp"
#include "python_bindings/plots.hpp"

namespace quillon::py {

namespace {

DistributionObject* as_dist(PyObject* self) { return reinterpret_cast<DistributionObject*>(self); }

PyRef text(std::string_view value) {
  return check(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

PyObject* new_float(double value) { return check(PyFloat_FromDouble(value)).release(); }

// The interpreter's float conversion of one argument (ints and objects with
// __float__ or __index__ included). TypeErrors get the argument's name.
double to_f64(PyObject* value, const char* name) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) rethrow_argument_error(name);
  return result;
}

// Any sequence other than str whose items all pass the float conversion, as
// a new shared vector. A list or tuple gives the items it held when the call
// began: an item's __float__ may change the list without changing the
// samples.
SampleVector to_sample_vector(PyObject* value, const char* name) {
  if (PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", name);
    throw_python_error();
  }
  if (!PySequence_Check(value)) raise_argument_type_error(name, "a sequence of float", value);
  std::vector<double> samples;
  const auto report_failing_item = [&](SequenceItems& items) {
    // Walks the items again to raise the error of the one that fails.
    samples.clear();
    samples.reserve(static_cast<std::size_t>(items.size_hint()));
    const WalkResult walked = items.for_each([&](PyObject* item) {
      samples.push_back(to_f64(item, name));
      return true;
    });
    if (walked == WalkResult::kReadFailed) rethrow_argument_error(name);
  };
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
    // Both walks visit the same items, whatever their conversions do to the
    // list.
    SequenceItems items(value);
    samples.reserve(static_cast<std::size_t>(items.size_hint()));
    bool failed = false;
    items.for_each([&](PyObject* item) {
      const double sample = PyFloat_CheckExact(item) ? PyFloat_AS_DOUBLE(item) : PyFloat_AsDouble(item);
      if (sample == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        failed = true;
        return false;
      }
      samples.push_back(sample);
      return true;
    });
    if (failed) report_failing_item(items);
    return make_samples(std::move(samples));
  }
  // The value conversion gives exactly this vector for a sequence of floats,
  // and reads numeric buffers (numpy arrays, array.array) at copy speed.
  const GraphData converted = python_to_graph_data(value);
  if (converted.kind() == DataKind::kFloatVec) {
    FloatVecPtr values = converted.float_vec_ptr();  // shared, not copied
    const std::span<const double> view(*values);
    return std::make_shared<const Samples>(std::move(values), view);
  }
  // Some item does not convert (or the object converted as one number).
  SequenceItems items(value);
  report_failing_item(items);
  return make_samples(std::move(samples));
}

PyObject* dist_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

void dist_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_dist(self)->state.~DistributionState();
  type->tp_free(self);
  Py_DECREF(type);
}

// Runs `read` on the held value under shared access.
template <typename Read>
PyObject* with_value(PyObject* self, Read&& read) {
  return with_shared_access<DistributionObject>(
      self, [&](DistributionState& state) -> PyObject* { return read(state.value); });
}

PyObject* get_mean(PyObject* self, void*) {
  return with_value(self, [](const Distribution& d) { return new_float(d.mean()); });
}
PyObject* get_std(PyObject* self, void*) {
  return with_value(self, [](const Distribution& d) { return new_float(std::sqrt(d.variance())); });
}
PyObject* get_variance(PyObject* self, void*) {
  return with_value(self, [](const Distribution& d) { return new_float(d.variance()); });
}
PyObject* get_p5(PyObject* self, void*) {
  return with_value(self, [](const Distribution& d) { return new_float(d.percentile(0.05)); });
}
PyObject* get_p50(PyObject* self, void*) {
  return with_value(self, [](const Distribution& d) { return new_float(d.percentile(0.5)); });
}
PyObject* get_p95(PyObject* self, void*) {
  return with_value(self, [](const Distribution& d) { return new_float(d.percentile(0.95)); });
}

PyObject* float_list(std::span<const double> values) {
  PyRef list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_float(values[i]));  // steals
  }
  return list.release();
}

PyObject* get_samples(PyObject* self, void*) {
  return with_value(self, [](const Distribution& d) -> PyObject* {
    if (d.kind() != DistributionKind::kEmpirical) Py_RETURN_NONE;
    return float_list(d.samples()->span());
  });
}

PyObject* dist_percentile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_value(self, [&](const Distribution& d) {
    Arguments a("Distribution.percentile", {"p"}, 1, args, nargs, kwnames);
    return new_float(d.percentile(to_f64(a[0], "p")));
  });
}

PyObject* dist_sample_n(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_value(self, [&](const Distribution& d) {
    Arguments a("Distribution.sample_n", {"n", "*seed"}, 1, args, nargs, kwnames);
    const std::uint64_t n = to_u64(a[0], "n");
    if (const std::optional<std::uint64_t> seed = to_optional_u64(a[1], "seed")) {
      return float_list(d.sample_n_with_rng(static_cast<std::size_t>(n), Rng::for_stream(*seed, {kSampleStream})));
    }
    return float_list(d.sample_n(static_cast<std::size_t>(n)));
  });
}

PyObject* dist_summary(PyObject* self, PyObject*) {
  return with_value(self, [](const Distribution& d) { return text(d.summary().to_string()).release(); });
}

PyObject* dist_repr(PyObject* self) {
  return with_value(self, [](const Distribution& d) { return text(d.to_string()).release(); });
}

PyGetSetDef kGetSet[] = {
    {"mean", get_mean, nullptr, "E[X]", nullptr},
    {"std", get_std, nullptr, "Standard deviation", nullptr},
    {"variance", get_variance, nullptr, "Variance", nullptr},
    {"p5", get_p5, nullptr, "5th percentile", nullptr},
    {"p50", get_p50, nullptr, "Median", nullptr},
    {"p95", get_p95, nullptr, "95th percentile", nullptr},
    {"samples", get_samples, nullptr, "Raw samples (only non-None for Empirical distributions).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* dist_repr_html(PyObject* self, PyObject*) {
  return with_value(self, [](const Distribution& d) { return distribution_html(d); });
}

PyMethodDef kMethods[] = {
    {"__reduce__", reduce_distribution, METH_NOARGS, "Pickle support: the distribution travels by value."},
    {"percentile", fastcall(dist_percentile), kFastKw,
     "percentile($self, p)\n--\n\nCompute an arbitrary percentile (0.0 \xe2\x80\x93 1.0)."},
    {"sample_n", fastcall(dist_sample_n), kFastKw,
     "sample_n($self, n)\n--\n\nDraw `n` samples from this distribution.\n\n"
     "Keyword-only:\n"
     "    seed (int | None): The same seed gives the same samples on the same build. None (default):\n"
     "        fresh entropy on every call."},
    {"summary", dist_summary, METH_NOARGS, "summary($self)\n--\n\nOne-line summary string."},
    {"plot", fastcall(distribution_plot), kFastKw, kDistributionPlotDoc},
    {"_repr_html_", dist_repr_html, METH_NOARGS,
     "_repr_html_($self)\n--\n\nA table of mean, std, p5, p50 and p95, for notebooks."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("An immutable probability distribution: closed-form moments, "
                                  "percentiles and sampling.")},
    {Py_tp_new, reinterpret_cast<void*>(dist_new)},
    {Py_tp_richcompare, reinterpret_cast<void*>(distribution_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(distribution_hash)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dist_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(dist_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillon.Distribution", sizeof(DistributionObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

// ---- module functions ------------------------------------------------------

// A two-parameter constructor: both arguments through the float conversion.
// `module` is the module the function is bound to.
template <Distribution (*Make)(double, double)>
PyObject* two_params(PyObject* module, const char* function, const char* first, const char* second,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    Arguments a(function, {first, second}, 2, args, nargs, kwnames);
    const double x = to_f64(a[0], first);
    const double y = to_f64(a[1], second);
    return wrap_distribution(state_of_module(module), Make(x, y)).release();
  });
}

PyObject* fn_normal(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return two_params<&Distribution::normal>(module, "normal", "mean", "std", args, nargs, kwnames);
}
PyObject* fn_uniform(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return two_params<&Distribution::uniform>(module, "uniform", "low", "high", args, nargs, kwnames);
}
PyObject* fn_beta(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return two_params<&Distribution::beta>(module, "beta", "alpha", "beta", args, nargs, kwnames);
}
PyObject* fn_gamma(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return two_params<&Distribution::gamma>(module, "gamma", "shape", "rate", args, nargs, kwnames);
}
PyObject* fn_lognormal(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return two_params<&Distribution::lognormal>(module, "lognormal", "mu", "sigma", args, nargs, kwnames);
}

PyObject* fn_deterministic(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    Arguments a("deterministic", {"value"}, 1, args, nargs, kwnames);
    return wrap_distribution(state_of_module(module), Distribution::deterministic(to_f64(a[0], "value"))).release();
  });
}

PyObject* fn_empirical(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    Arguments a("empirical", {"samples"}, 1, args, nargs, kwnames);
    return wrap_distribution(state_of_module(module), Distribution::empirical(to_sample_vector(a[0], "samples")))
        .release();
  });
}

PyMethodDef kFunctions[] = {
    {"normal", fastcall(fn_normal), kFastKw,
     "normal(mean, std)\n--\n\nCreate a Normal (Gaussian) distribution: N(mean, std)."},
    {"uniform", fastcall(fn_uniform), kFastKw,
     "uniform(low, high)\n--\n\nCreate a Uniform distribution: U(low, high)."},
    {"beta", fastcall(fn_beta), kFastKw,
     "beta(alpha, beta)\n--\n\nCreate a Beta distribution: Beta(\xce\xb1, \xce\xb2).  Support [0, 1]."},
    {"gamma", fastcall(fn_gamma), kFastKw,
     "gamma(shape, rate)\n--\n\nCreate a Gamma distribution: \xce\x93(shape, rate).  Mean = shape / rate."},
    {"lognormal", fastcall(fn_lognormal), kFastKw,
     "lognormal(mu, sigma)\n--\n\nCreate a Log-Normal distribution.  `mu` and `sigma` are the underlying "
     "Normal parameters."},
    {"deterministic", fastcall(fn_deterministic), kFastKw,
     "deterministic(value)\n--\n\nCreate a Deterministic point mass at `value`."},
    {"empirical", fastcall(fn_empirical), kFastKw,
     "empirical(samples)\n--\n\nCreate an Empirical distribution from a list of float samples."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_distribution_type(PyObject* module) { return create_class(module, &kSpec, "Distribution"); }

PyMethodDef* distribution_functions() { return kFunctions; }

PyRef wrap_distribution(const ModuleState& module, Distribution value) {
  PyTypeObject* type = module.distribution_type;
  if (type == nullptr) raise(PyExc_SystemError, "the Distribution type is not initialised");
  PyRef self = check(type->tp_alloc(type, 0));
  new (&as_dist(self.get())->state) DistributionState{BorrowFlag{}, std::move(value)};
  return self;
}

bool is_distribution(const ModuleState& module, PyObject* object) noexcept {
  return module.distribution_type != nullptr && Py_IS_TYPE(object, module.distribution_type);
}

const Distribution& distribution_of(PyObject* object) noexcept { return as_dist(object)->state.value; }

PyRef dist_context_to_py_dict(const ModuleState& module, const DistMap& dists) {
  PyRef dict = check(PyDict_New());
  for (const auto& [name, dist] : dists) {
    PyRef value = wrap_distribution(module, dist);
    if (PyDict_SetItem(dict.get(), text(name).get(), value.get()) != 0) throw_python_error();
  }
  return dict;
}

}  // namespace quillon::py
