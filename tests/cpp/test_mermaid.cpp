#include <gtest/gtest.h>

#include "builder/graph.hpp"
#include "cache/memory_backend.hpp"
#include "test_support.hpp"

namespace quillon {
namespace {

using testing::noop;
using testing::pairs;

Node raw_node(NodeId id, std::optional<std::string> label, std::vector<NodeId> deps, NameMap inputs = {},
              NameMap outputs = {}) {
  Node node = Node::create(id, noop(), default_cache_version(id), std::move(label), std::move(inputs),
                           std::move(outputs));
  node.dependencies = std::move(deps);
  return node;
}

Dag dag_of(std::vector<Node> nodes) { return Dag::create(std::move(nodes), MemoryCacheBackend::create(1, {})); }

TEST(Mermaid, LabelledEdgeFromTheProducersOutputs) {
  Graph graph;
  graph.add(noop(), "Source", std::nullopt, pairs({{"x", "data"}}));
  graph.add(noop(), "Scale", pairs({{"data", "x"}}), pairs({{"y", "out"}}));
  EXPECT_EQ(std::move(graph).build().to_mermaid(),
            "graph TD\n    0[\"Source\"]\n    1[\"Scale\"]\n    0 -->|data \u2192 x| 1\n");
}

TEST(Mermaid, PlainEdgesUnlabelledNodesAndEmptyDag) {
  EXPECT_EQ(dag_of({}).to_mermaid(), "graph TD\n");
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, "A", {}, {}, {{"o", "unused"}}));
  nodes.push_back(raw_node(1, "B", {0, 7}, {{"x", "i"}}));
  nodes.push_back(raw_node(3, std::nullopt, {}));
  EXPECT_EQ(dag_of(std::move(nodes)).to_mermaid(),
            "graph TD\n    0[\"A\"]\n    1[\"B\"]\n    3[\"Node 3\"]\n    0 --> 1\n    7 --> 1\n");
}

TEST(Mermaid, SeveralPiecesAreSortedByBroadcastName) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, "P", {}, {}, {{"o1", "b"}, {"o2", "a"}, {"o3", "c"}}));
  nodes.push_back(raw_node(1, "C", {0}, {{"c", "z"}, {"a", "x"}, {"b", "y"}}));
  EXPECT_EQ(dag_of(std::move(nodes)).to_mermaid(),
            "graph TD\n    0[\"P\"]\n    1[\"C\"]\n    0 -->|a \u2192 x<br/>b \u2192 y<br/>c \u2192 z| 1\n");
}

TEST(Mermaid, StylesForBranchesThenVariantsWithCyclingFills) {
  Graph graph;
  graph.variants({noop(), noop(), noop(), noop(), noop()}, "V");
  graph.branch([] {
    Graph sub;
    sub.add(noop(), "S");
    return sub;
  }());
  const std::string text = std::move(graph).build().to_mermaid();
  const std::string expected_tail =
      "    style 5 fill:#e1f5ff\n"
      "    style 6 fill:#e1f5ff\n"
      "    style 7 fill:#e1f5ff\n"
      "    style 8 fill:#e1f5ff\n"
      "    style 9 fill:#e1f5ff\n"
      "    style 0 fill:#ffe1e1\n"
      "    style 1 fill:#e1ffe1\n"
      "    style 2 fill:#ffe1ff\n"
      "    style 3 fill:#ffffe1\n"
      "    style 4 fill:#ffe1e1\n";
  ASSERT_GE(text.size(), expected_tail.size());
  EXPECT_EQ(text.substr(text.size() - expected_tail.size()), expected_tail);
  EXPECT_NE(text.find("    0[\"V (v0)\"]\n"), std::string::npos);
}

TEST(Mermaid, DoubleQuotesInLabelsBecomeEntitiesOtherTextIsVerbatim) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, "say \"hi\" [x]\n", {}));
  EXPECT_EQ(dag_of(std::move(nodes)).to_mermaid(), "graph TD\n    0[\"say #quot;hi#quot; [x]\n\"]\n");
}

TEST(DagListings, SortedUniqueBytewise) {
  std::vector<Node> nodes;
  for (const char* label : {"b", "a", "b", "B"}) nodes.push_back(raw_node(nodes.size(), label, {}));
  nodes.push_back(raw_node(9, std::nullopt, {}));
  nodes[0].branch_id = 2;
  nodes[1].branch_id = 1;
  nodes[2].branch_id = 2;
  nodes[3].variant_index = 4;
  nodes[4].variant_index = 0;
  const Dag dag = dag_of(std::move(nodes));
  EXPECT_EQ(dag.node_labels(), (std::vector<std::string>{"B", "a", "b"}));
  EXPECT_EQ(dag.branch_ids(), (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(dag.variant_indices(), (std::vector<std::uint64_t>{0, 4}));
  EXPECT_TRUE(dag_of({}).node_labels().empty());
}

}  // namespace
}  // namespace quillon
