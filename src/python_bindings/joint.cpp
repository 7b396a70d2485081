#include "python_bindings/joint.hpp"

#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python_bindings/args.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/class_type.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/module_state.hpp"
#include "python_bindings/plots.hpp"
#include "python_bindings/py_ref.hpp"
#include "python_bindings/stat_result.hpp"
#include "stat_result/joint.hpp"

namespace quillon::py {

namespace {

struct JointObject {
  PyObject_HEAD
  JointSample sample;
};

const JointSample& sample_of(PyObject* self) { return reinterpret_cast<JointObject*>(self)->sample; }

PyRef text(std::string_view value) {
  return check(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

PyObject* joint_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined; use quillon.joint(stat)");
  return nullptr;
}

void joint_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<JointObject*>(self)->sample.~JointSample();
  type->tp_free(self);
  Py_DECREF(type);
}

// The position of the variable named by argument `argument`, or ValueError.
std::size_t variable_index(const JointSample& sample, PyObject* value, const char* argument) {
  const std::string name = to_string(value, argument);
  const std::optional<std::size_t> index = sample.index_of(name);
  if (!index) {
    raise(PyExc_ValueError, std::string("argument '") + argument + "': no variable '" + name +
                                "' among the joint distribution's variables");
  }
  return *index;
}

PyObject* get_variables(PyObject* self, void*) {
  return call_guarded([&] {
    const std::vector<std::string>& names = sample_of(self).variables();
    PyRef list = check(PyList_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t i = 0; i < names.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text(names[i]).release());  // steals
    }
    return list.release();
  });
}

PyObject* get_n_particles(PyObject* self, void*) {
  return call_guarded([&] { return check(PyLong_FromSize_t(sample_of(self).particle_count())).release(); });
}

PyObject* matrix_array(const SquareMatrix& m) { return float_matrix(m.values, m.size, m.size).release(); }

PyObject* joint_correlation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&] {
    Arguments a("JointDistribution.correlation", {"method"}, 0, args, nargs, kwnames);
    CorrelationMethod method = CorrelationMethod::kPearson;
    if (a[0] != nullptr) {
      const std::string name = to_string(a[0], "method");
      const std::optional<CorrelationMethod> parsed = parse_correlation_method(name);
      if (!parsed) raise(PyExc_ValueError, "argument 'method': expected 'pearson' or 'spearman', got '" + name + "'");
      method = *parsed;
    }
    return matrix_array(sample_of(self).correlation(method));
  });
}

PyObject* joint_covariance(PyObject* self, PyObject*) {
  return call_guarded([&] { return matrix_array(sample_of(self).covariance()); });
}

PyObject* joint_summary(PyObject* self, PyObject*) {
  return call_guarded([&] { return text(sample_of(self).summary_text()).release(); });
}

PyObject* joint_print_summary(PyObject* self, PyObject*) {
  return call_guarded([&]() -> PyObject* {
    PyRef summary = text(sample_of(self).summary_text());
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out == nullptr || out == Py_None) Py_RETURN_NONE;  // no stdout to write to (pythonw)
    PyRef held = PyRef::borrow(out);
    if (PyFile_WriteObject(summary.get(), held.get(), Py_PRINT_RAW) != 0) throw_python_error();
    Py_RETURN_NONE;
  });
}

PyObject* joint_plot_pairs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&] {
    Arguments a("JointDistribution.plot_pairs", {"variables"}, 0, args, nargs, kwnames);
    const JointSample& sample = sample_of(self);
    std::vector<std::size_t> chosen;
    if (is_absent(a[0])) {
      for (std::size_t i = 0; i < sample.variables().size(); ++i) chosen.push_back(i);
    } else {
      if (PyUnicode_Check(a[0])) raise_argument_type_error("variables", "a list of str", a[0]);
      PyRef list = PyRef::steal(PySequence_List(a[0]));
      if (!list) rethrow_argument_error("variables");
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        chosen.push_back(variable_index(sample, PyList_GET_ITEM(list.get(), i), "variables"));  // borrowed
      }
    }
    if (chosen.empty()) raise(PyExc_ValueError, "argument 'variables': there is no variable to plot");
    PyRef names = check(PyList_New(0));
    PyRef columns = check(PyList_New(0));
    for (const std::size_t i : chosen) {
      if (PyList_Append(names.get(), text(sample.variables()[i]).get()) != 0 ||
          PyList_Append(columns.get(), float_array(sample.column(i)).get()) != 0) {
        throw_python_error();
      }
    }
    PyRef particles = check(PyLong_FromSize_t(sample.particle_count()));
    return call_plotting(state_of_instance(self), "plot_pairs", {names.get(), columns.get(), particles.get()})
        .release();
  });
}

PyObject* joint_plot_joint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&] {
    Arguments a("JointDistribution.plot_joint", {"x", "y", "*ax"}, 2, args, nargs, kwnames);
    const JointSample& sample = sample_of(self);
    const std::size_t x = variable_index(sample, a[0], "x");
    const std::size_t y = variable_index(sample, a[1], "y");
    const auto [xs, ys] = sample.complete_pairs(x, y);
    PyObject* ax = is_absent(a[2]) ? Py_None : a[2];
    PyRef x_values = float_array(xs);
    PyRef y_values = float_array(ys);
    PyRef x_name = text(sample.variables()[x]);
    PyRef y_name = text(sample.variables()[y]);
    return call_plotting(state_of_instance(self), "plot_joint",
                         {ax, x_values.get(), y_values.get(), x_name.get(), y_name.get()})
        .release();
  });
}

PyObject* joint_repr(PyObject* self) {
  return call_guarded([&] {
    const JointSample& sample = sample_of(self);
    PyRef names = check(get_variables(self, nullptr));
    PyRef names_repr = check(PyObject_Repr(names.get()));
    return check(PyUnicode_FromFormat("JointDistribution(variables=%U, particles=%zu)", names_repr.get(),
                                      sample.particle_count()))
        .release();
  });
}

PyGetSetDef kGetSet[] = {
    {"variables", get_variables, nullptr,
     "The variables, in the order of the rows and columns of `correlation()` and\n"
     "`covariance()`: every key of the result's `particles` dicts that some particle holds,\n"
     "in the order `StatResult.to_numpy()` gives them (vector lengths, elements and\n"
     "branch-qualified keys included).",
     nullptr},
    {"n_particles", get_n_particles, nullptr, "The number of particles (trajectories) of the result.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"correlation", fastcall(joint_correlation), kFastKw,
     "correlation($self, method='pearson')\n--\n\n"
     "The correlation matrix as a 2-D float64 numpy array, rows and columns in the order of\n"
     "`variables`.  `method`: 'pearson' (linear) or 'spearman' (of the ranks, ties sharing\n"
     "their average rank).  Each pair uses the particles on which both variables have a\n"
     "value (a failed draw leaves a variable without one; NaN values count as missing).\n"
     "NaN where fewer than 2 particles hold both or either is constant on them."},
    {"covariance", joint_covariance, METH_NOARGS,
     "covariance($self)\n--\n\n"
     "The sample covariance matrix (divided by n - 1) as a 2-D float64 numpy array, rows\n"
     "and columns in the order of `variables`, each pair over the particles holding both.\n"
     "NaN where fewer than 2 particles hold both."},
    {"summary", joint_summary, METH_NOARGS,
     "summary($self)\n--\n\nThe text `print_summary()` prints."},
    {"print_summary", joint_print_summary, METH_NOARGS,
     "print_summary($self)\n--\n\n"
     "Print a table of the marginals (count of values, mean, std, p5, p50, p95 per\n"
     "variable) and the Pearson correlation matrix to sys.stdout, in aligned columns."},
    {"plot_pairs", fastcall(joint_plot_pairs), kFastKw,
     "plot_pairs($self, variables=None)\n--\n\n"
     "A pair plot with matplotlib: a histogram of each variable on the diagonal and each\n"
     "pair off it, as a scatter plot, or as hexagonal bins above 5000 particles.\n"
     "`variables` (list of str) picks the variables and their order; None (default): all\n"
     "of `variables`.  Returns the Figure.  Needs matplotlib (pip install 'quillon[plot]')."},
    {"plot_joint", fastcall(joint_plot_joint), kFastKw,
     "plot_joint($self, x, y, *, ax=None)\n--\n\n"
     "The 2-D joint density of variables `x` and `y` over the particles holding both:\n"
     "filled kernel density contours when scipy is installed, a 2-D histogram otherwise.\n"
     "Returns the Axes.  Needs matplotlib (pip install 'quillon[plot]').\n\n"
     "Keyword-only:\n"
     "    ax (matplotlib Axes | None): Draw on this Axes; None (default): on a new figure."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("The joint distribution of a particle result's variables: correlation, "
                                  "covariance, a summary table and plots.  Made by `quillon.joint(stat)`.")},
    {Py_tp_new, reinterpret_cast<void*>(joint_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(joint_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(joint_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"quillon.JointDistribution", sizeof(JointObject), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kSlots};

PyObject* fn_joint(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    Arguments a("joint", {"stat"}, 1, args, nargs, kwnames);
    ModuleState& state = state_of_module(module);
    if (state.stat_result_type == nullptr || !Py_IS_TYPE(a[0], state.stat_result_type)) {
      raise_argument_type_error("stat", "StatResult", a[0]);
    }
    PyTypeObject* type = state.joint_distribution_type;
    if (type == nullptr) raise(PyExc_SystemError, "the JointDistribution type is not initialised");
    std::optional<JointSample> sample;
    {
      StatResultState& stat = reinterpret_cast<StatResultObject*>(a[0])->state;
      SharedBorrow borrow(a[0], stat.borrow);
      if (!stat.result.particles) {
        raise(PyExc_ValueError,
              "joint() needs per-particle values, which only predict() keeps; this result came from "
              "predict_at(): use predict()");
      }
      sample.emplace(*stat.result.particles);
    }
    PyRef self = check(type->tp_alloc(type, 0));
    new (&reinterpret_cast<JointObject*>(self.get())->sample) JointSample(std::move(*sample));
    return self.release();
  });
}

PyMethodDef kJointFunction[] = {
    {"joint", fastcall(fn_joint), kFastKw,
     "joint(stat)\n--\n\n"
     "The joint distribution of the variables of `stat`, a StatResult from `Dag.predict()`,\n"
     "as a JointDistribution.  ValueError for a result without particles (from\n"
     "`predict_at()`)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_joint_distribution_type(PyObject* module) {
  return create_class(module, &kSpec, "JointDistribution");
}

PyMethodDef* joint_function() { return kJointFunction; }

}  // namespace quillon::py
