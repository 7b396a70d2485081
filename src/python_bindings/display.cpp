#include "python_bindings/display.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "python_bindings/args.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/class_type.hpp"
#include "python_bindings/dag.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

namespace {

PyRef text(std::string_view value) {
  return check(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

void set_item(PyObject* dict, const char* key, PyRef value) {
  if (PyDict_SetItemString(dict, key, value.get()) != 0) throw_python_error();
}

PyRef optional_text(const std::optional<std::string>& value) {
  return value ? text(*value) : PyRef::borrow(Py_None);
}

// Text inside HTML elements and attribute values.
void append_html(std::string& out, std::string_view value) {
  for (char c : value) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
}

// Text inside a Markdown table cell: markup characters become HTML
// entities (Markdown passes inline HTML through), the cell delimiter is
// escaped, and line breaks, which would end the row, become spaces.
void append_markdown_cell(std::string& out, std::string_view value) {
  for (char c : value) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '|': out += "\\|"; break;
      case '\\': out += "\\\\"; break;
      case '`': out += "\\`"; break;
      case '*': out += "\\*"; break;
      case '_': out += "\\_"; break;
      case '[': out += "\\["; break;
      case ']': out += "\\]"; break;
      case '\n':
      case '\r': out += ' '; break;
      default: out += c;
    }
  }
}

// Text in one line of the plain table: control characters become spaces.
std::string plain_cell(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return out;
}

// Columns of the plain table line up by code points.
std::size_t display_width(std::string_view value) {
  std::size_t width = 0;
  for (char c : value) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return width;
}

std::string number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.6g", value);
  return buffer;
}

// A markdown block that fences `body`: longer than any run of backticks in
// it, so no text of the diagram can end the block early.
std::string fenced_mermaid(std::string_view body) {
  std::size_t longest = 0;
  std::size_t run = 0;
  for (char c : body) {
    run = c == '`' ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  const std::string fence(std::max<std::size_t>(3, longest + 1), '`');
  std::string out = fence + "mermaid\n";
  out += body;
  if (!body.empty() && body.back() != '\n') out += '\n';
  out += fence;
  out += '\n';
  return out;
}

// ---- Summary tables ----------------------------------------------------

constexpr const char* kSummaryHeads[] = {"mean", "std", "p5", "p50", "p95"};

// One row's cells; a distribution whose statistics cannot be taken (an
// unsampleable uniform) shows its error instead of failing the display.
std::vector<std::string> summary_cells(const Distribution& dist) {
  try {
    const PortSummary s = dist.summary();
    return {number(s.mean), number(s.std), number(s.p5), number(s.p50), number(s.p95)};
  } catch (const std::exception& error) {
    return {std::string("error: ") + error.what(), "", "", "", ""};
  }
}

std::string summary_table(const std::vector<std::pair<std::string, const Distribution*>>& rows, bool named,
                          std::string_view caption) {
  std::string out = "<table class=\"quillon-summary\">";
  if (!caption.empty()) {
    out += "<caption>";
    append_html(out, caption);
    out += "</caption>";
  }
  out += "<thead><tr>";
  if (named) out += "<th>variable</th>";
  for (const char* head : kSummaryHeads) {
    out += "<th>";
    out += head;
    out += "</th>";
  }
  out += "</tr></thead><tbody>";
  for (const auto& [name, dist] : rows) {
    out += "<tr>";
    if (named) {
      out += "<th style=\"text-align:left\">";
      append_html(out, name);
      out += "</th>";
    }
    for (const std::string& cell : summary_cells(*dist)) {
      out += "<td style=\"text-align:right\">";
      append_html(out, cell);
      out += "</td>";
    }
    out += "</tr>";
  }
  out += "</tbody></table>";
  return out;
}

// ---- Reports -----------------------------------------------------------

// What a detailed report says about one node.
struct ReportedNode {
  bool hit = false;
  std::optional<std::string> reason;
  bool failed = false;
  std::optional<double> seconds;
  std::optional<std::string> error;
};

using ReportedNodes = std::unordered_map<NodeId, ReportedNode>;

[[noreturn]] void raise_report(const std::string& problem) {
  raise(PyExc_ValueError,
        "argument 'report': expected the report of Dag.execute(detailed=True), " + problem);
}

// The entries of the dict at `key` of `report` as a list of (key, value)
// pairs taken when reading begins, so that conversions that run Python code
// cannot change what is iterated; null when the key is absent or None.
PyRef report_items(PyObject* report, const char* key, bool required) {
  PyObject* value = PyDict_GetItemString(report, key);  // borrowed
  if (value == nullptr || value == Py_None) {
    if (required) raise_report(std::string("which has no '") + key + "' dict");
    return PyRef();
  }
  if (!PyDict_Check(value)) raise_report(std::string("whose '") + key + "' is a " + type_name_of(value));
  return check(PyDict_Items(value));
}

// Runs `read(id, entry)` for every entry of the dict at `key`; each entry
// must be a dict keyed by node id.
template <typename Read>
void for_each_report_entry(PyObject* report, const char* key, bool required, Read&& read) {
  const PyRef items = report_items(report, key, required);
  if (!items) return;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);  // borrowed, held by `items`
    PyObject* id = PyTuple_GET_ITEM(pair, 0);
    PyObject* entry = PyTuple_GET_ITEM(pair, 1);
    if (!PyLong_Check(id)) raise_report(std::string("whose '") + key + "' has a key that is not a node id");
    if (!PyDict_Check(entry)) raise_report(std::string("whose '") + key + "' has an entry that is not a dict");
    read(to_u64(id, "report"), entry);
  }
}

// The value at `key` of `entry`, owned (a conversion may run code that
// changes the entry), null when absent or None.
PyRef field(PyObject* entry, const char* key) {
  PyObject* value = PyDict_GetItemString(entry, key);  // borrowed
  return value == nullptr || value == Py_None ? PyRef() : PyRef::borrow(value);
}

bool truth(const PyRef& value) {
  if (!value) return false;
  const int result = PyObject_IsTrue(value.get());
  if (result < 0) throw_python_error();
  return result != 0;
}

ReportedNodes read_report(PyObject* report) {
  if (!PyDict_Check(report)) raise_argument_type_error("report", "dict", report);
  const PyRef held = PyRef::borrow(report);
  ReportedNodes nodes;
  for_each_report_entry(report, "node_cache", true, [&](NodeId id, PyObject* entry) {
    ReportedNode& node = nodes[id];
    node.hit = truth(field(entry, "hit"));
    if (const PyRef reason = field(entry, "reason")) node.reason = to_string(reason.get(), "report");
  });
  // Reports of runs that time their nodes say which calls failed.
  for_each_report_entry(report, "node_runs", false, [&](NodeId id, PyObject* entry) {
    ReportedNode& node = nodes[id];
    node.failed = truth(field(entry, "failed"));
    if (const PyRef seconds = field(entry, "seconds")) {
      const double value = PyFloat_AsDouble(seconds.get());
      if (value == -1.0 && PyErr_Occurred()) rethrow_argument_error("report");
      node.seconds = value;
    }
    if (const PyRef error = field(entry, "error")) node.error = to_string(error.get(), "report");
  });
  return nodes;
}

NodeRunMarks marks_of(const ReportedNodes& nodes) {
  NodeRunMarks marks;
  for (const auto& [id, node] : nodes) {
    NodeRunMark& mark = marks[id];
    mark.outcome = node.failed ? RunOutcome::kFailed : node.hit ? RunOutcome::kHit : RunOutcome::kMiss;
    if (!node.hit && node.reason) mark.reason = *node.reason;
  }
  return marks;
}

// ---- Explanation -------------------------------------------------------

// One node of an explained run, in node order. `reported` is false for a
// node the report does not mention (one that never ran).
struct ExplainRow {
  NodeId id = 0;
  std::optional<std::string> label;
  bool reported = false;
  ReportedNode node;
};

struct Explanation {
  std::vector<ExplainRow> rows;
  std::string mermaid;
  std::string plain;
  std::string html;
  std::string markdown;
};

struct ExplanationObject {
  PyObject_HEAD
  Explanation value;
};

Explanation& explanation_of(PyObject* self) { return reinterpret_cast<ExplanationObject*>(self)->value; }

std::string seconds_text(const std::optional<double>& seconds) {
  if (!seconds) return "";
  char buffer[32];
  const double s = *seconds;
  if (std::isfinite(s) && s < 1e-3) {
    std::snprintf(buffer, sizeof buffer, "%.0f \xc2\xb5s", s * 1e6);
  } else if (std::isfinite(s) && s < 1.0) {
    std::snprintf(buffer, sizeof buffer, "%.1f ms", s * 1e3);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.2f s", s);
  }
  return buffer;
}

constexpr std::size_t kColumns = 6;
constexpr const char* kExplainHeads[kColumns] = {"id", "label", "hit", "reason", "time", "error"};

// The cells of one row as the three tables show them.
std::array<std::string, kColumns> explain_cells(const ExplainRow& row) {
  std::array<std::string, kColumns> cells;
  cells[0] = std::to_string(row.id);
  cells[1] = row.label.value_or("");
  if (!row.reported) {
    cells[2] = "-";
    cells[3] = "not run";
    return cells;
  }
  const ReportedNode& node = row.node;
  cells[2] = node.hit ? "yes" : "no";
  if (!node.hit && node.reason) cells[3] = *node.reason;
  cells[4] = seconds_text(node.seconds);
  if (node.failed) cells[5] = node.error.value_or("failed");
  return cells;
}

void build_texts(Explanation& e) {
  std::vector<std::array<std::string, kColumns>> table;
  table.reserve(e.rows.size());
  for (const ExplainRow& row : e.rows) table.push_back(explain_cells(row));

  // Plain: columns padded to their widest cell.
  std::array<std::size_t, kColumns> widths{};
  for (std::size_t c = 0; c < kColumns; ++c) widths[c] = display_width(kExplainHeads[c]);
  for (auto& cells : table) {
    for (std::size_t c = 0; c < kColumns; ++c) {
      cells[c] = plain_cell(cells[c]);
      widths[c] = std::max(widths[c], display_width(cells[c]));
    }
  }
  const auto plain_line = [&](const auto& cells) {
    std::string line;
    for (std::size_t c = 0; c < kColumns; ++c) {
      const std::string_view cell = cells[c];
      line += cell;
      if (c + 1 < kColumns) line.append(widths[c] - display_width(cell) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line + '\n';
  };
  e.plain = plain_line(kExplainHeads);
  for (const auto& cells : table) e.plain += plain_line(cells);

  e.html = "<div class=\"quillon-explain\"><table><thead><tr>";
  for (const char* head : kExplainHeads) {
    e.html += "<th>";
    e.html += head;
    e.html += "</th>";
  }
  e.html += "</tr></thead><tbody>";
  for (std::size_t r = 0; r < table.size(); ++r) {
    const ExplainRow& row = e.rows[r];
    const char* status = !row.reported ? "" : row.node.failed ? "failed" : row.node.hit ? "hit" : "miss";
    e.html += *status != '\0' ? std::string("<tr class=\"") + status + "\">" : std::string("<tr>");
    for (const std::string& cell : table[r]) {
      e.html += "<td>";
      append_html(e.html, cell);
      e.html += "</td>";
    }
    e.html += "</tr>";
  }
  e.html += "</tbody></table><pre class=\"mermaid\">";
  append_html(e.html, e.mermaid);
  e.html += "</pre></div>";

  e.markdown = "|";
  for (const char* head : kExplainHeads) {
    e.markdown += ' ';
    e.markdown += head;
    e.markdown += " |";
  }
  e.markdown += "\n|";
  for (std::size_t c = 0; c < kColumns; ++c) e.markdown += " --- |";
  e.markdown += '\n';
  for (const auto& cells : table) {
    e.markdown += '|';
    for (const std::string& cell : cells) {
      e.markdown += ' ';
      append_markdown_cell(e.markdown, cell);
      e.markdown += " |";
    }
    e.markdown += '\n';
  }
  e.markdown += '\n';
  e.markdown += fenced_mermaid(e.mermaid);
}

Explanation explain_run(const Dag& dag, PyObject* report) {
  const ReportedNodes reported = read_report(report);
  Explanation e;
  e.mermaid = dag.to_mermaid(marks_of(reported));
  e.rows.reserve(dag.node_count());
  for (const Node& node : dag.nodes()) {
    ExplainRow row;
    row.id = node.id;
    row.label = node.label;
    if (const auto found = reported.find(node.id); found != reported.end()) {
      row.reported = true;
      row.node = found->second;
    }
    e.rows.push_back(std::move(row));
  }
  build_texts(e);
  return e;
}

PyObject* explanation_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

void explanation_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  explanation_of(self).~Explanation();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* explanation_plain(PyObject* self) {
  return call_guarded([&] { return text(explanation_of(self).plain).release(); });
}

PyObject* explanation_html(PyObject* self, PyObject*) {
  return call_guarded([&] { return text(explanation_of(self).html).release(); });
}

PyObject* explanation_markdown(PyObject* self, PyObject*) {
  return call_guarded([&] { return text(explanation_of(self).markdown).release(); });
}

// Whether a notebook that asked with `include` and `exclude` wants `mime`.
bool wanted(PyObject* include, PyObject* exclude, const char* mime) {
  const PyRef key = text(mime);
  if (!is_absent(include)) {
    const int found = PySequence_Contains(include, key.get());
    if (found < 0) rethrow_argument_error("include");
    if (found == 0) return false;
  }
  if (!is_absent(exclude)) {
    const int found = PySequence_Contains(exclude, key.get());
    if (found < 0) rethrow_argument_error("exclude");
    if (found == 1) return false;
  }
  return true;
}

PyObject* bundle_of(std::initializer_list<std::pair<const char*, std::string_view>> forms, PyObject* include,
                    PyObject* exclude) {
  PyRef dict = check(PyDict_New());
  for (const auto& [mime, body] : forms) {
    if (wanted(include, exclude, mime)) set_item(dict.get(), mime, text(body));
  }
  return dict.release();
}

PyObject* explanation_bundle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&] {
    Arguments a("Explanation._repr_mimebundle_", {"include", "exclude"}, 0, args, nargs, kwnames);
    const Explanation& e = explanation_of(self);
    return bundle_of({{"text/plain", e.plain}, {"text/markdown", e.markdown}, {"text/html", e.html}}, a[0], a[1]);
  });
}

PyObject* get_mermaid(PyObject* self, void*) {
  return call_guarded([&] { return text(explanation_of(self).mermaid).release(); });
}

PyObject* get_nodes(PyObject* self, void*) {
  return call_guarded([&] {
    const Explanation& e = explanation_of(self);
    PyRef list = check(PyList_New(static_cast<Py_ssize_t>(e.rows.size())));
    for (std::size_t i = 0; i < e.rows.size(); ++i) {
      const ExplainRow& row = e.rows[i];
      PyRef dict = check(PyDict_New());
      set_item(dict.get(), "id", check(PyLong_FromUnsignedLongLong(row.id)));
      set_item(dict.get(), "label", optional_text(row.label));
      const auto flag = [&](bool value) { return PyRef::borrow(!row.reported ? Py_None : value ? Py_True : Py_False); };
      set_item(dict.get(), "hit", flag(row.node.hit));
      set_item(dict.get(), "reason", optional_text(row.node.hit ? std::nullopt : row.node.reason));
      set_item(dict.get(), "seconds",
               row.node.seconds ? check(PyFloat_FromDouble(*row.node.seconds)) : PyRef::borrow(Py_None));
      set_item(dict.get(), "failed", flag(row.node.failed));
      set_item(dict.get(), "error", optional_text(row.node.error));
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());  // steals
    }
    return list.release();
  });
}

PyMethodDef kExplanationMethods[] = {
    {"_repr_html_", explanation_html, METH_NOARGS,
     "_repr_html_($self)\n--\n\nThe node table and the diagram as HTML (the diagram in a <pre class=\"mermaid\">)."},
    {"_repr_markdown_", explanation_markdown, METH_NOARGS,
     "_repr_markdown_($self)\n--\n\nThe node table and a fenced mermaid block as Markdown."},
    {"_repr_mimebundle_", fastcall(explanation_bundle), kFastKw,
     "_repr_mimebundle_($self, include=None, exclude=None)\n--\n\n"
     "text/plain, text/markdown and text/html forms, filtered by `include` and `exclude`."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kExplanationGetSet[] = {
    {"mermaid", get_mermaid, nullptr, "The run's diagram: Dag.to_mermaid(report=...) of the explained report.",
     nullptr},
    {"nodes", get_nodes, nullptr,
     "One dict per node in node order: id, label, hit, reason, seconds, failed, error. hit and failed are None for a "
     "node the report does not mention; seconds and error are None when the report does not carry them.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kExplanationSlots[] = {
    {Py_tp_doc, const_cast<char*>("How one run of a Dag went, node by node: made by quillon.explain(dag, report). "
                                  "Shows itself in notebooks as a table and the marked diagram; str() is the "
                                  "table as plain text.")},
    {Py_tp_new, reinterpret_cast<void*>(explanation_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(explanation_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(explanation_plain)},
    {Py_tp_str, reinterpret_cast<void*>(explanation_plain)},
    {Py_tp_methods, kExplanationMethods},
    {Py_tp_getset, kExplanationGetSet},
    {0, nullptr},
};

PyType_Spec kExplanationSpec = {"quillon.Explanation", sizeof(ExplanationObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kExplanationSlots};

PyObject* fn_explain(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_guarded([&]() -> PyObject* {
    Arguments a("explain", {"dag", "report"}, 2, args, nargs, kwnames);
    const ModuleState& state = state_of_module(module);
    if (state.dag_type == nullptr || Py_TYPE(a[0]) != state.dag_type) raise_argument_type_error("dag", "Dag", a[0]);
    PyTypeObject* type = state.explanation_type;
    if (type == nullptr) raise(PyExc_SystemError, "the Explanation type is not initialised");
    DagState& dag_state = reinterpret_cast<DagObject*>(a[0])->state;
    Explanation e;
    {
      SharedBorrow borrow(a[0], dag_state.borrow);
      if (!dag_state.dag) raise(PyExc_RuntimeError, "Dag has been cleared by the garbage collector");
      e = explain_run(*dag_state.dag, a[1]);
    }
    PyRef self = check(type->tp_alloc(type, 0));
    new (&explanation_of(self.get())) Explanation(std::move(e));
    return self.release();
  });
}

PyMethodDef kExplain = {
    "explain", fastcall(fn_explain), kFastKw,
    "explain(dag, report)\n--\n\n"
    "How one run of `dag` went, node by node.\n\n"
    "Args:\n"
    "    dag (Dag): The Dag that ran.\n"
    "    report (dict): What `dag.execute(detailed=True)` returned.\n\n"
    "Returns:\n"
    "    Explanation: a table of the nodes in node order (id, label, hit, the miss reason, the time\n"
    "    and the error of a failed call, when the report carries them) and the run's diagram\n"
    "    (`dag.to_mermaid(report=report)`). Notebooks show both; str() gives the table as text."};

}  // namespace

PyObject* stat_result_html(const StatResult& result) {
  std::vector<std::pair<std::string, const Distribution*>> rows;
  for (const std::string& key : result.keys()) {
    const auto found = result.vars.find(key);
    if (found != result.vars.end()) rows.emplace_back(key, &found->second);
  }
  return text(summary_table(rows, true, "")).release();
}

PyObject* distribution_html(const Distribution& dist) {
  return text(summary_table({{"", &dist}}, false, dist.to_string())).release();
}

NodeRunMarks run_marks_from_report(PyObject* report) { return marks_of(read_report(report)); }

PyObject* mermaid_bundle(std::string_view mermaid, PyObject* plain, PyObject* include, PyObject* exclude) {
  const std::string markdown = fenced_mermaid(mermaid);
  PyRef dict = check(bundle_of({{"text/vnd.mermaid", mermaid}, {"text/markdown", markdown}}, include, exclude));
  if (wanted(include, exclude, "text/plain") && PyDict_SetItemString(dict.get(), "text/plain", plain) != 0) {
    throw_python_error();
  }
  return dict.release();
}

PyTypeObject* create_explanation_type(PyObject* module) {
  return create_class(module, &kExplanationSpec, "Explanation");
}

PyMethodDef* explain_function() { return &kExplain; }

}  // namespace quillon::py
