// Figures of results: Distribution.plot, StatResult.plot and the helpers the
// JointDistribution plots use.
//
// Drawing is Python code (plotting.py beside this file) compiled into the
// extension as text. The first plot asked of a module object runs that text
// into a private module, kept in the module's state (not in sys.modules);
// its functions receive numbers the engine computed, as numpy arrays.
// matplotlib is imported only inside those functions, so everything else in
// the extension works without it; without it a plot raises ImportError
// naming the `plot` extra. Requires: the interpreter lock for everything
// here.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "distribution/distribution.hpp"
#include "python_bindings/module_state.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

// Calls the plotting function `name` with `args` (borrowed) and returns its
// result. Throws PythonError.
PyRef call_plotting(ModuleState& state, const char* name, std::initializer_list<PyObject*> args);

// New 1-D float64 numpy array holding `values`. Throws PythonError
// (ImportError when numpy is missing).
PyRef float_array(std::span<const double> values);
// New rows-by-columns float64 numpy array of row-major `values`.
PyRef float_matrix(const std::vector<double>& values, std::size_t rows, std::size_t columns);

// Distribution.plot and StatResult.plot (vectorcall methods).
PyObject* distribution_plot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* stat_result_plot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

inline constexpr const char* kDistributionPlotDoc =
    "plot($self, ax=None)\n--\n\n"
    "Draw this distribution with matplotlib: the density curve of a closed-form kind, a\n"
    "histogram of the samples of an empirical one, a stem at the value of a point mass;\n"
    "p5, p50 and p95 are marked.  Draws on `ax` when given, on a new figure otherwise, and\n"
    "returns the Axes.  Needs matplotlib (pip install 'quillon[plot]').";

inline constexpr const char* kStatResultPlotDoc =
    "plot($self, names=None)\n--\n\n"
    "Draw one panel per variable, as `Distribution.plot` draws it, three panels to a row.\n"
    "`names` (list of str) picks the variables and their order; None (default): every\n"
    "name of `keys()`.  Returns the matplotlib Figure.  Needs matplotlib\n"
    "(pip install 'quillon[plot]').";

}  // namespace quillon::py
