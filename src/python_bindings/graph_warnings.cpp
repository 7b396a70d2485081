#include "python_bindings/graph_warnings.hpp"

#include <algorithm>
#include <set>
#include <unordered_set>

#include "python_bindings/errors.hpp"

namespace quillon::py {

namespace {

std::string quoted(const std::string& text) { return "'" + text + "'"; }

std::string describe(const Node& node) {
  std::string text = node.label ? quoted(*node.label) : std::string("unlabelled node");
  text += " (id " + std::to_string(node.id) + ")";
  return text;
}

}  // namespace

std::optional<std::string> unplaced_nodes_message(const Dag& dag) {
  const std::span<const std::size_t> unplaced = dag.unplaced_positions();
  if (unplaced.empty()) return std::nullopt;
  std::string message = "Graph.build: " + std::to_string(unplaced.size()) +
                        (unplaced.size() == 1 ? " node is" : " nodes are") +
                        " left out of the execution order because of a cycle or a dependency on a node that "
                        "is not in the graph, and will never run: ";
  for (std::size_t k = 0; k < unplaced.size(); ++k) {
    if (k > 0) message += ", ";
    message += describe(dag.nodes()[unplaced[k]]);
  }
  return message;
}

std::optional<std::string> cache_key_inputs_message(
    const Dag& dag, const std::unordered_map<std::string, std::vector<std::string>>& cache_key_vars_by_label) {
  if (cache_key_vars_by_label.empty()) return std::nullopt;
  // Labels in bytewise order, so the message does not depend on hashing.
  std::vector<const std::string*> labels;
  labels.reserve(cache_key_vars_by_label.size());
  for (const auto& [label, names] : cache_key_vars_by_label) labels.push_back(&label);
  std::sort(labels.begin(), labels.end(), [](const std::string* a, const std::string* b) { return *a < *b; });

  std::string problems;
  for (const std::string* label : labels) {
    bool has_node = false;
    std::unordered_set<std::string> impl_names;
    for (const Node& node : dag.nodes()) {
      if (!node.label || *node.label != *label) continue;
      has_node = true;
      for (const auto& [broadcast, impl] : node.inputs) impl_names.insert(impl);
    }
    std::vector<std::string> unknown;
    std::set<std::string> seen;
    for (const std::string& name : cache_key_vars_by_label.at(*label)) {
      if (impl_names.contains(name) || !seen.insert(name).second) continue;
      unknown.push_back(name);
    }
    if (unknown.empty()) continue;
    if (!problems.empty()) problems += "; ";
    problems += "label " + quoted(*label);
    problems += has_node ? ": " : " (no node has this label): ";
    for (std::size_t k = 0; k < unknown.size(); ++k) {
      if (k > 0) problems += ", ";
      problems += quoted(unknown[k]);
    }
  }
  if (problems.empty()) return std::nullopt;
  return "Graph.build: cache-key input names that are not an input of any node with the label are ignored, so "
         "those inputs do not enter the cache key: " +
         problems;
}

std::optional<std::string> predict_target_message(const Dag& dag, const PredictTarget& target) {
  struct Describe {
    const Dag& dag;
    std::optional<std::string> operator()(const PredictTarget::Node& t) const {
      for (const Node& node : dag.nodes()) {
        if (node.label == t.label) return std::nullopt;
      }
      return "at_node " + quoted(t.label) + " matches no node label";
    }
    std::optional<std::string> operator()(const PredictTarget::Branch& t) const {
      for (const Node& node : dag.nodes()) {
        if (node.branch_id == t.id) return std::nullopt;
      }
      return "at_branch " + std::to_string(t.id) + " matches no branch id";
    }
    std::optional<std::string> operator()(const PredictTarget::Variant& t) const {
      for (const Node& node : dag.nodes()) {
        if (node.variant_index == t.index) return std::nullopt;
      }
      return "at_variant " + std::to_string(t.index) + " matches no variant index";
    }
  };
  std::optional<std::string> problem = std::visit(Describe{dag}, target.selector);
  if (!problem) return std::nullopt;
  return "Dag.predict_at: " + *problem + "; the whole graph is propagated";
}

void warn_graph(const ModuleState& module, const std::string& message) {
  if (PyErr_WarnEx(module.graph_warning, message.c_str(), 1) != 0) throw_python_error();
}

}  // namespace quillon::py
