// Fuzz target: Dag ordering, levels, listings and Mermaid text.
//
// Decodes the input either into a raw node list (arbitrary unique ids,
// labels of arbitrary bytes, input/output maps over a small variable
// alphabet, dependencies that may dangle, repeat or form cycles, branch and
// variant fields) or into a sequence of builder calls (add, variants,
// branch with nested subgraphs), creates the Dag and checks:
// - the topological order holds exactly the nodes whose dependencies all
//   lead to ordered nodes, each after all of its dependencies, independent
//   nodes in builder order;
// - the levels partition the order, none is empty, and each node sits one
//   level above its highest dependency;
// - the Mermaid text matches an independent rendering line by line (header,
//   one line per node, one line per distinct edge with pieces sorted by
//   broadcast name, branch then variant styles; double quotes and bars in
//   node labels and edge names written as #quot; and #124;) and its line
//   count adds up;
// - the label, branch and variant listings are sorted and unique.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "builder/graph.hpp"
#include "dag/dag.hpp"
#include "node.hpp"
#include "fuzz_support.hpp"

const char* const fuzz::kFuzzTarget = "fuzz_mermaid";

namespace {

using quillon::Dag;
using quillon::Graph;
using quillon::NamePairs;
using quillon::Node;
using quillon::NodeId;

using fuzz::check;
using fuzz::fail;

using fuzz::byte_less;

// Variable names: a small alphabet so that producers and consumers meet,
// qualified names among them, and now and then arbitrary bytes.
std::string decode_variable(FuzzedDataProvider& in) {
  static constexpr const char* kNames[] = {"x", "y", "z", "data", "1:y", "2:x", ":x", "a\"b", "a|b", "n\nl", "\xff"};
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0) return in.ConsumeRandomLengthString(8);
  return in.PickValueInArray(kNames);
}

std::optional<std::string> decode_label(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return std::nullopt;
    case 1: return in.ConsumeRandomLengthString(16);
    default: {
      static constexpr const char* kLabels[] = {"A", "B", "Source", "say \"hi\"", "[x]", "", "\"", "two\nlines"};
      return std::string(in.PickValueInArray(kLabels));
    }
  }
}

NamePairs decode_pairs(FuzzedDataProvider& in) {
  NamePairs pairs;
  const int n = in.ConsumeIntegralInRange<int>(0, 3);
  for (int i = 0; i < n; ++i) {
    std::string first = decode_variable(in);
    pairs.emplace_back(std::move(first), decode_variable(in));
  }
  return pairs;
}

quillon::NameMap to_map(const NamePairs& pairs) {
  quillon::NameMap map;
  for (const auto& [a, b] : pairs) map.insert_or_assign(a, b);
  return map;
}

std::vector<Node> decode_raw_nodes(FuzzedDataProvider& in) {
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 12);
  std::vector<NodeId> ids;
  std::unordered_set<NodeId> used;
  for (std::size_t i = 0; i < n; ++i) {
    NodeId id = in.ConsumeBool() ? in.ConsumeIntegral<NodeId>() : in.ConsumeIntegralInRange<NodeId>(0, 15);
    while (!used.insert(id).second) ++id;  // ids are unique, as the builder makes them
    ids.push_back(id);
  }
  std::vector<Node> nodes;
  for (std::size_t i = 0; i < n; ++i) {
    Node node;
    node.id = ids[i];
    node.label = decode_label(in);
    node.inputs = to_map(decode_pairs(in));
    node.outputs = to_map(decode_pairs(in));
    const int n_deps = in.ConsumeIntegralInRange<int>(0, 4);
    for (int d = 0; d < n_deps; ++d) {
      // Mostly existing nodes (itself included), sometimes an id no node has.
      if (in.ConsumeIntegralInRange<int>(0, 5) == 0) {
        node.dependencies.push_back(in.ConsumeIntegral<NodeId>());
      } else {
        node.dependencies.push_back(ids[in.ConsumeIntegralInRange<std::size_t>(0, n - 1)]);
      }
    }
    if (in.ConsumeBool()) node.branch_id = in.ConsumeIntegralInRange<std::uint64_t>(0, 4);
    if (in.ConsumeBool()) node.variant_index = in.ConsumeIntegral<std::uint64_t>();
    node.is_branch = in.ConsumeBool();
    nodes.push_back(std::move(node));
  }
  return nodes;
}

quillon::NodeFunction noop() {
  static const quillon::NodeFunction kNoop = quillon::make_node_function([](const quillon::DataMap&) {
    return quillon::NodeOutput{};
  });
  return kNoop;
}

Graph decode_graph(FuzzedDataProvider& in, int depth) {
  Graph graph;
  const int n_ops = in.ConsumeIntegralInRange<int>(0, depth == 0 ? 8 : 3);
  for (int op = 0; op < n_ops && in.remaining_bytes() > 0; ++op) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
      case 1: {
        std::optional<std::string> label = decode_label(in);
        const NamePairs inputs = decode_pairs(in);
        graph.add(noop(), std::move(label), inputs, decode_pairs(in));
        break;
      }
      case 2: {
        std::optional<std::string> label = decode_label(in);
        const NamePairs inputs = decode_pairs(in);
        const NamePairs outputs = decode_pairs(in);
        const std::vector<quillon::NodeFunction> functions(in.ConsumeIntegralInRange<std::size_t>(0, 3), noop());
        graph.variants(functions, std::move(label), inputs, outputs);
        break;
      }
      default:
        if (depth < 2) graph.branch(decode_graph(in, depth + 1));
        break;
    }
  }
  return graph;
}

// --- Ordering checks ------------------------------------------------------

void check_order_and_levels(const Dag& dag) {
  const auto& nodes = dag.nodes();
  std::unordered_map<NodeId, std::size_t> position;
  for (std::size_t i = 0; i < nodes.size(); ++i) position.try_emplace(nodes[i].id, i);

  // A node is ordered exactly when every dependency names a node that is
  // ordered itself: the least fixed point, computed naively.
  std::vector<bool> placeable(nodes.size(), false);
  for (bool changed = true; changed;) {
    changed = false;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      if (placeable[i]) continue;
      const bool ready = std::all_of(nodes[i].dependencies.begin(), nodes[i].dependencies.end(), [&](NodeId d) {
        const auto it = position.find(d);
        return it != position.end() && placeable[it->second];
      });
      if (ready) placeable[i] = changed = true;
    }
  }

  // Kahn's method over positions with ready nodes taken in builder order.
  std::vector<std::size_t> in_degree(nodes.size(), 0);
  std::vector<std::vector<std::size_t>> dependents(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    for (NodeId d : nodes[i].dependencies) {
      ++in_degree[i];
      if (const auto it = position.find(d); it != position.end()) dependents[it->second].push_back(i);
    }
  }
  std::deque<std::size_t> ready;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (in_degree[i] == 0) ready.push_back(i);
  }
  std::vector<NodeId> expected_order;
  while (!ready.empty()) {
    const std::size_t pos = ready.front();
    ready.pop_front();
    expected_order.push_back(nodes[pos].id);
    for (std::size_t dependent : dependents[pos]) {
      if (--in_degree[dependent] == 0) ready.push_back(dependent);
    }
  }

  const auto& order = dag.topological_order();
  std::unordered_map<NodeId, std::size_t> rank;
  for (std::size_t r = 0; r < order.size(); ++r) {
    check(rank.emplace(order[r], r).second, "a node appears twice in the topological order");
    const auto it = position.find(order[r]);
    check(it != position.end(), "the topological order names an unknown node");
    check(placeable[it->second], "a node on a cycle or behind a dangling dependency was ordered");
  }
  check(order.size() == static_cast<std::size_t>(std::count(placeable.begin(), placeable.end(), true)),
        "an orderable node is missing from the topological order");
  for (NodeId id : order) {
    for (NodeId d : nodes[position.at(id)].dependencies) {
      check(rank.contains(d) && rank.at(d) < rank.at(id), "a node is ordered before one of its dependencies");
    }
  }
  check(order == expected_order, "independent nodes are not ordered in builder order");

  // Levels: a partition of the order, each node one above its highest dependency.
  const auto& levels = dag.levels();
  std::unordered_map<NodeId, std::size_t> level_of;
  std::size_t total = 0;
  for (std::size_t k = 0; k < levels.size(); ++k) {
    check(!levels[k].empty(), "an empty level");
    std::size_t previous_rank = 0;
    for (std::size_t j = 0; j < levels[k].size(); ++j) {
      const NodeId id = levels[k][j];
      check(rank.contains(id), "a level holds a node that is not in the order");
      check(level_of.emplace(id, k).second, "a node sits on two levels");
      check(j == 0 || rank.at(id) > previous_rank, "a level is not in topological order");
      previous_rank = rank.at(id);
      ++total;
    }
  }
  check(total == order.size(), "the levels do not cover the order");
  for (NodeId id : order) {
    std::optional<std::size_t> highest;
    for (NodeId d : nodes[position.at(id)].dependencies) highest = std::max(highest.value_or(0), level_of.at(d));
    check(level_of.at(id) == (highest ? *highest + 1 : 0), "a node's level is not one above its highest dependency");
  }

  for (const Node& node : nodes) check(dag.find_node(node.id) == &nodes[position.at(node.id)], "find_node");
}

// --- Mermaid checks -------------------------------------------------------

constexpr std::string_view kFills[] = {"#ffe1e1", "#e1ffe1", "#ffe1ff", "#ffffe1"};

std::string escaped_label(std::string_view label) {
  std::string out;
  for (char c : label) {
    if (c == '"') {
      out += "#quot;";
    } else if (c == '|') {
      out += "#124;";
    } else {
      out += c;
    }
  }
  return out;
}

// Expects `line` at `at` in `text` and moves past it.
void expect_line(const std::string& text, std::size_t& at, const std::string& line, const char* what) {
  check(text.compare(at, line.size(), line) == 0, what, text.substr(at, line.size() + 16));
  at += line.size();
}

void check_mermaid(const Dag& dag) {
  const std::string text = dag.to_mermaid();
  check(text == dag.to_mermaid(), "Mermaid text is not deterministic");
  check(text.starts_with("graph TD\n"), "Mermaid text does not start with its header", text);
  check(text.ends_with("\n"), "Mermaid text does not end with a line feed", text);

  const auto& nodes = dag.nodes();
  std::size_t at = 9;
  std::size_t expected_lines = 1;
  std::size_t embedded_line_feeds = 0;
  for (const Node& node : nodes) {
    const std::string shown = node.label ? escaped_label(*node.label) : "Node " + std::to_string(node.id);
    check(shown.find('"') == std::string::npos, "a raw double quote inside node label text", shown);
    check(shown.find('|') == std::string::npos, "a raw bar inside node label text", shown);
    expect_line(text, at, "    " + std::to_string(node.id) + "[\"" + shown + "\"]\n", "node line");
    ++expected_lines;
    embedded_line_feeds += static_cast<std::size_t>(std::count(shown.begin(), shown.end(), '\n'));
  }

  std::set<std::pair<NodeId, NodeId>> emitted;
  for (const Node& target : nodes) {
    std::vector<std::pair<std::string, std::string>> inputs(target.inputs.begin(), target.inputs.end());
    std::sort(inputs.begin(), inputs.end(), [](const auto& a, const auto& b) { return byte_less(a.first, b.first); });
    for (NodeId source_id : target.dependencies) {
      if (!emitted.emplace(source_id, target.id).second) continue;
      std::string pieces;
      const Node* source = nullptr;
      for (const Node& candidate : nodes) {
        if (candidate.id == source_id) {
          source = &candidate;
          break;
        }
      }
      if (source != nullptr) {
        for (const auto& [broadcast, impl] : inputs) {
          bool produced = false;
          for (const auto& output : source->outputs) produced = produced || output.second == broadcast;
          if (!produced) continue;
          if (!pieces.empty()) pieces += "<br/>";
          pieces += escaped_label(broadcast) + " \u2192 " + escaped_label(impl);
        }
      }
      check(pieces.find('|') == std::string::npos, "a raw bar inside edge label text", pieces);
      const std::string arrow = pieces.empty() ? " --> " : " -->|" + pieces + "| ";
      expect_line(text, at, "    " + std::to_string(source_id) + arrow + std::to_string(target.id) + "\n",
                  "edge line");
      ++expected_lines;
      embedded_line_feeds += static_cast<std::size_t>(std::count(pieces.begin(), pieces.end(), '\n'));
    }
  }

  for (const Node& node : nodes) {
    if (!node.is_branch) continue;
    expect_line(text, at, "    style " + std::to_string(node.id) + " fill:#e1f5ff\n", "branch style line");
    ++expected_lines;
  }
  for (const Node& node : nodes) {
    if (!node.variant_index) continue;
    expect_line(text, at, "    style " + std::to_string(node.id) + " fill:" + std::string(kFills[*node.variant_index % 4]) +
                              "\n",
                "variant style line");
    ++expected_lines;
  }
  check(at == text.size(), "trailing text after the last Mermaid line", text.substr(at));
  check(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) == expected_lines + embedded_line_feeds,
        "Mermaid line count does not add up");
}

void check_listings(const Dag& dag) {
  std::set<std::string, bool (*)(std::string_view, std::string_view)> labels(byte_less);
  std::set<std::uint64_t> branches;
  std::set<std::uint64_t> variants;
  for (const Node& node : dag.nodes()) {
    if (node.label) labels.insert(*node.label);
    if (node.branch_id) branches.insert(*node.branch_id);
    if (node.variant_index) variants.insert(*node.variant_index);
  }
  check(dag.node_labels() == std::vector<std::string>(labels.begin(), labels.end()), "node_labels");
  check(dag.branch_ids() == std::vector<std::uint64_t>(branches.begin(), branches.end()), "branch_ids");
  check(dag.variant_indices() == std::vector<std::uint64_t>(variants.begin(), variants.end()), "variant_indices");
  check(dag.node_count() == dag.nodes().size(), "node_count");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool through_builder = in.ConsumeBool();
  std::optional<Dag> dag;
  if (through_builder) {
    Graph graph = decode_graph(in, 0);
    dag.emplace(std::move(graph).build());
    // The builder numbers every node it creates or merges 0, 1, 2, ...
    for (std::size_t i = 0; i < dag->nodes().size(); ++i) {
      check(dag->nodes()[i].id == i, "builder ids are not consecutive in node order");
    }
  } else {
    dag.emplace(Dag::create(decode_raw_nodes(in), nullptr));
  }
  check_order_and_levels(*dag);
  check_mermaid(*dag);
  check_listings(*dag);
  return 0;
}
