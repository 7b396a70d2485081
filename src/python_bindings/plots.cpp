#include "python_bindings/plots.hpp"

#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "distribution/density.hpp"
#include "python_bindings/args.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/distribution.hpp"
#include "python_bindings/embedded_module.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/plotting_source.hpp"  // generated from plotting.py
#include "python_bindings/stat_result.hpp"

namespace quillon::py {

namespace {

// Points of a density curve.
constexpr std::size_t kCurvePoints = 400;

PyRef text(std::string_view value) {
  return check(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

// The module made from plotting.py; borrowed from the state.
PyObject* plotting_module(ModuleState& state) {
  return embedded_module(state.plotting, "quillon._plotting", "quillon/_plotting.py", kPlottingSource);
}

PyRef numpy_empty(PyObject* shape) {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_python_error();
    PyErr_Clear();
    raise(PyExc_ImportError, "plotting needs numpy and matplotlib: pip install 'quillon[plot]'");
  }
  PyRef empty = check(PyObject_GetAttrString(numpy.get(), "empty"));
  return check(PyObject_CallOneArg(empty.get(), shape));  // float64 by default
}

// `values` copied into a new array of `shape`, which holds values.size()
// elements.
PyRef filled_array(std::span<const double> values, PyObject* shape) {
  PyRef array = numpy_empty(shape);
  Py_buffer view;
  if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) throw_python_error();
  if (!values.empty()) std::memcpy(view.buf, values.data(), values.size() * sizeof(double));
  PyBuffer_Release(&view);
  return array;
}

PyRef float_or_none(std::optional<double> value) {
  if (!value) return PyRef::borrow(Py_None);
  return check(PyFloat_FromDouble(*value));
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
  if (PyDict_SetItemString(dict, key, value) != 0) throw_python_error();
}

// What plotting.py's _draw_distribution reads about one distribution: its
// density curve ("x", "density"), its samples, or its point, and its marks.
PyRef distribution_panel(const Distribution& dist, std::string_view title, std::string_view x_label) {
  PyRef panel = check(PyDict_New());
  // Percentiles first: an unsampleable Uniform raises here, before anything
  // is drawn.
  const double p5 = dist.percentile(0.05);
  const double p50 = dist.percentile(0.5);
  const double p95 = dist.percentile(0.95);
  PyRef x = PyRef::borrow(Py_None);
  PyRef density = PyRef::borrow(Py_None);
  PyRef samples = PyRef::borrow(Py_None);
  std::optional<double> point;
  if (dist.kind() == DistributionKind::kEmpirical) {
    samples = float_array(dist.samples()->span());
  } else if (std::optional<DensityCurve> curve = density_curve(dist, kCurvePoints)) {
    x = float_array(curve->x);
    density = float_array(curve->density);
  } else {
    point = p50;  // a point mass, or a closed form whose every draw is one value
  }
  set_item(panel.get(), "title", text(title).get());
  set_item(panel.get(), "xlabel", text(x_label).get());
  set_item(panel.get(), "x", x.get());
  set_item(panel.get(), "density", density.get());
  set_item(panel.get(), "samples", samples.get());
  set_item(panel.get(), "point", float_or_none(point).get());
  set_item(panel.get(), "p5", float_or_none(p5).get());
  set_item(panel.get(), "p50", float_or_none(p50).get());
  set_item(panel.get(), "p95", float_or_none(p95).get());
  return panel;
}

}  // namespace

PyRef call_plotting(ModuleState& state, const char* name, std::initializer_list<PyObject*> args) {
  PyObject* module = plotting_module(state);  // borrowed
  PyRef function = check(PyObject_GetAttrString(module, name));
  return check(PyObject_Vectorcall(function.get(), args.begin(), args.size(), nullptr));
}

PyRef float_array(std::span<const double> values) {
  PyRef shape = check(PyLong_FromSize_t(values.size()));
  return filled_array(values, shape.get());
}

PyRef float_matrix(const std::vector<double>& values, std::size_t rows, std::size_t columns) {
  PyRef shape = check(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(columns)));
  return filled_array(values, shape.get());
}

PyObject* distribution_plot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_shared_access<DistributionObject>(self, [&](DistributionState& state) -> PyObject* {
    Arguments a("Distribution.plot", {"ax"}, 0, args, nargs, kwnames);
    PyObject* ax = is_absent(a[0]) ? Py_None : a[0];
    PyRef panel = distribution_panel(state.value, state.value.to_string(), "value");
    return call_plotting(state_of_instance(self), "plot_distribution", {ax, panel.get()}).release();
  });
}

PyObject* stat_result_plot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_shared_access<StatResultObject>(self, [&](StatResultState& state) -> PyObject* {
    Arguments a("StatResult.plot", {"names"}, 0, args, nargs, kwnames);
    const StatResult& result = state.result;
    const std::vector<std::string> names = is_absent(a[0]) ? result.keys() : to_string_list(a[0], "names");
    if (names.empty()) raise(PyExc_ValueError, "argument 'names': there is no variable to plot");
    PyRef panels = check(PyList_New(0));
    for (const std::string& name : names) {
      const std::optional<Distribution> dist = result.get(name);
      if (!dist) raise(PyExc_ValueError, "argument 'names': Variable '" + name + "' not found in StatResult");
      PyRef panel = distribution_panel(*dist, name, name);
      if (PyList_Append(panels.get(), panel.get()) != 0) throw_python_error();
    }
    return call_plotting(state_of_instance(self), "plot_marginals", {panels.get()}).release();
  });
}

}  // namespace quillon::py
