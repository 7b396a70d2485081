// Read-only queries of a Dag: Mermaid rendering and the label, branch and
// variant listings. They never call node functions.
#include "dag/dag.hpp"

#include <algorithm>
#include <set>
#include <string_view>
#include <utility>

namespace quillon {

namespace {

constexpr std::string_view kVariantFills[] = {"#ffe1e1", "#e1ffe1", "#ffe1ff", "#ffffe1"};

// Names go into the diagram verbatim, except for the two delimiters of label
// text: a double quote would end a quoted node text early and a bar an edge
// label, so they are written as the Mermaid entities #quot; and #124;. Node
// labels and the variable names of edge labels both pass through here.
void append_label(std::string& out, std::string_view label) {
  for (char c : label) {
    if (c == '"') {
      out += "#quot;";
    } else if (c == '|') {
      out += "#124;";
    } else {
      out += c;
    }
  }
}

template <typename T, typename Field>
std::vector<T> sorted_unique(const std::vector<Node>& nodes, Field field) {
  std::vector<T> values;
  for (const Node& node : nodes) {
    if (const auto& value = field(node)) values.push_back(*value);
  }
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  return values;
}


// Text this diagram adds itself (miss reasons, which may come from anywhere)
// is stricter than labels: besides the quote and the bar, the characters
// that could start markup or an entity (<, >, &, #) are written as entities
// too, and line breaks become spaces, so it always reads as plain text.
void append_run_text(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '"': out += "#quot;"; break;
      case '|': out += "#124;"; break;
      case '<': out += "#lt;"; break;
      case '>': out += "#gt;"; break;
      case '&': out += "#amp;"; break;
      case '#': out += "#35;"; break;
      case '\n':
      case '\r':
      case '\t': out += ' '; break;
      default: out += c;
    }
  }
}

const char* outcome_class(RunOutcome outcome) {
  switch (outcome) {
    case RunOutcome::kHit: return "hit";
    case RunOutcome::kFailed: return "failed";
    case RunOutcome::kMiss: break;
  }
  return "miss";
}

// The line under a marked node's label: "hit", "miss: not_found",
// "failed, miss: not_found".
void append_mark(std::string& out, const NodeRunMark& mark) {
  out += "<br/>";
  out += outcome_class(mark.outcome);
  if (mark.outcome == RunOutcome::kHit || mark.reason.empty()) return;
  out += mark.outcome == RunOutcome::kFailed ? ", miss: " : ": ";
  append_run_text(out, mark.reason);
}

}  // namespace

std::string Dag::to_mermaid() const { return mermaid_text(nullptr); }

std::string Dag::to_mermaid(const NodeRunMarks& marks) const { return mermaid_text(&marks); }

std::string Dag::mermaid_text(const NodeRunMarks* marks) const {
  std::string out = "graph TD\n";
  for (const Node& node : nodes_) {
    out += "    ";
    out += std::to_string(node.id);
    out += "[\"";
    if (node.label) {
      append_label(out, *node.label);
    } else {
      out += "Node ";
      out += std::to_string(node.id);
    }
    if (marks != nullptr) {
      if (const auto mark = marks->find(node.id); mark != marks->end()) append_mark(out, mark->second);
    }
    out += "\"]\n";
  }

  // Label pieces of one edge follow the target's inputs sorted by broadcast
  // name, so the text is reproducible.
  std::set<std::pair<NodeId, NodeId>> emitted;
  std::vector<std::pair<std::string_view, std::string_view>> sorted_inputs;
  for (const Node& target : nodes_) {
    sorted_inputs.assign(target.inputs.begin(), target.inputs.end());
    std::sort(sorted_inputs.begin(), sorted_inputs.end());
    for (NodeId source_id : target.dependencies) {
      if (!emitted.emplace(source_id, target.id).second) continue;
      std::string pieces;
      if (const Node* source = find_node(source_id)) {
        for (const auto& [broadcast_name, impl] : sorted_inputs) {
          // A named copy: lambdas may not capture structured bindings before clang 16.
          const std::string_view broadcast = broadcast_name;
          const bool produced = std::any_of(source->outputs.begin(), source->outputs.end(),
                                            [&](const auto& output) { return output.second == broadcast; });
          if (!produced) continue;
          if (!pieces.empty()) pieces += "<br/>";
          append_label(pieces, broadcast);
          pieces += " \u2192 ";
          append_label(pieces, impl);
        }
      }
      out += "    ";
      out += std::to_string(source_id);
      if (pieces.empty()) {
        out += " --> ";
      } else {
        out += " -->|";
        out += pieces;
        out += "| ";
      }
      out += std::to_string(target.id);
      out += '\n';
    }
  }

  for (const Node& node : nodes_) {
    if (!node.is_branch) continue;
    out += "    style ";
    out += std::to_string(node.id);
    out += " fill:#e1f5ff\n";
  }
  for (const Node& node : nodes_) {
    if (!node.variant_index) continue;
    out += "    style ";
    out += std::to_string(node.id);
    out += " fill:";
    out += kVariantFills[*node.variant_index % 4];
    out += '\n';
  }
  if (marks != nullptr) append_run_classes(out, *marks);
  return out;
}

// The outcome classes, the marked nodes in node order (each id once) and a
// legend. Branch and variant fills set by `style` win over a class's fill;
// the outcome's border colour still shows.
void Dag::append_run_classes(std::string& out, const NodeRunMarks& marks) const {
  out += "    classDef hit fill:#d3f9d8,stroke:#2b8a3e\n";
  out += "    classDef miss fill:#fff3bf,stroke:#e67700\n";
  out += "    classDef failed fill:#ffe3e3,stroke:#c92a2a,stroke-width:3px\n";
  for (RunOutcome outcome : {RunOutcome::kHit, RunOutcome::kMiss, RunOutcome::kFailed}) {
    std::string ids;
    std::set<NodeId> listed;
    for (const Node& node : nodes_) {
      const auto mark = marks.find(node.id);
      if (mark == marks.end() || mark->second.outcome != outcome || !listed.insert(node.id).second) continue;
      if (!ids.empty()) ids += ',';
      ids += std::to_string(node.id);
    }
    if (ids.empty()) continue;
    out += "    class ";
    out += ids;
    out += ' ';
    out += outcome_class(outcome);
    out += '\n';
  }
  out += "    subgraph legend [Legend]\n";
  out += "        legend_hit[\"cache hit\"]\n";
  out += "        legend_miss[\"cache miss: reason\"]\n";
  out += "        legend_failed[\"failed\"]\n";
  out += "    end\n";
  out += "    class legend_hit hit\n";
  out += "    class legend_miss miss\n";
  out += "    class legend_failed failed\n";
}

std::vector<std::string> Dag::node_labels() const {
  return sorted_unique<std::string>(nodes_, [](const Node& node) -> const auto& { return node.label; });
}

std::vector<std::uint64_t> Dag::branch_ids() const {
  return sorted_unique<std::uint64_t>(nodes_, [](const Node& node) -> const auto& { return node.branch_id; });
}

std::vector<std::uint64_t> Dag::variant_indices() const {
  return sorted_unique<std::uint64_t>(nodes_, [](const Node& node) -> const auto& { return node.variant_index; });
}

}  // namespace quillon
