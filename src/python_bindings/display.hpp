// How quillon objects show themselves in notebooks, and quillon.explain.
//
// Notebook frontends ask an object for its rich forms (_repr_html_,
// _repr_mimebundle_, ...). The texts are built here from engine values: HTML
// tables of summary statistics, Mermaid bundles of a Dag's diagram, and the
// Explanation of one run (a table of its nodes beside the marked diagram).
// Every user text is escaped for the form it lands in. An Explanation holds
// only text and numbers, no Python objects. Requires: the interpreter lock
// for everything here.
#pragma once

#include <Python.h>

#include <string_view>

#include "dag/dag.hpp"
#include "distribution/distribution.hpp"
#include "python_bindings/module_state.hpp"
#include "stat_result/stat_result.hpp"

namespace quillon::py {

// New str: a table of mean, std, p5, p50 and p95 of every variable of
// `result` in keys() order, or of the one distribution `dist`.
PyObject* stat_result_html(const StatResult& result);
PyObject* distribution_html(const Distribution& dist);

// The run marks a detailed report of Dag.execute (the `report` argument)
// gives: hit, miss with its reason, or failed when the report's
// "node_runs" says so. Throws PythonError (TypeError or ValueError naming
// `report`) for anything that is not such a report.
NodeRunMarks run_marks_from_report(PyObject* report);

// New dict: the Mermaid text `mermaid` as text/vnd.mermaid and as a fenced
// text/markdown block, with `plain` (borrowed) as text/plain; `include` and
// `exclude` (borrowed, null or None for all) filter the types as a notebook
// asks.
PyObject* mermaid_bundle(std::string_view mermaid, PyObject* plain, PyObject* include, PyObject* exclude);

// The class Explanation for `module`; new reference, or null with an error set.
PyTypeObject* create_explanation_type(PyObject* module);

// The method definition of the module function explain(dag, report).
PyMethodDef* explain_function();

}  // namespace quillon::py
