#include <gtest/gtest.h>

#include <random>
#include <string_view>

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

TEST(Mermaid, BarsInLabelsAndEdgeNamesBecomeEntities) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, "a|b", {}, {}, {{"o", "a|b"}}));
  nodes.push_back(raw_node(1, "\"|\"", {0}, {{"a|b", "c\"d"}}));
  EXPECT_EQ(dag_of(std::move(nodes)).to_mermaid(),
            "graph TD\n    0[\"a#124;b\"]\n    1[\"#quot;#124;#quot;\"]\n    0 -->|a#124;b \u2192 c#quot;d| 1\n");
}

// Random names over an alphabet of delimiters, look-alikes and plain text.
// The text of a two-node diagram is read back the way a Mermaid reader does:
// a node label runs to the next double quote, an edge label to the next bar.
// Every label must end exactly where its own closing delimiter is and decode
// back to the name; names free of both delimiters appear verbatim.
std::string random_name(std::mt19937& rng) {
  static constexpr std::string_view kPieces[] = {"a", "Z", "0", " ", "\"", "|", "[", "]", "\n", "<br/>", "#", ";", "\u2192", "-->"};
  std::uniform_int_distribution<std::size_t> length(0, 6);
  std::uniform_int_distribution<std::size_t> piece(0, std::size(kPieces) - 1);
  std::string name;
  for (std::size_t n = length(rng); n > 0; --n) name += kPieces[piece(rng)];
  return name;
}

std::string decode_entities(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.substr(i, 6) == "#quot;") {
      out += '"';
      i += 6;
    } else if (text.substr(i, 5) == "#124;") {
      out += '|';
      i += 5;
    } else {
      out += text[i++];
    }
  }
  return out;
}

// Reads `expected` at `at` and moves past it.
bool read_literal(std::string_view text, std::size_t& at, std::string_view expected) {
  if (text.substr(at, expected.size()) != expected) return false;
  at += expected.size();
  return true;
}

// Reads up to (not including) the next `delimiter`, leaving `at` on it.
std::string_view read_until(std::string_view text, std::size_t& at, char delimiter) {
  const std::size_t end = text.find(delimiter, at);
  const std::string_view field = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
  at += field.size();
  return field;
}

TEST(Mermaid, AnyNameKeepsEveryLabelInsideItsDelimiters) {
  std::mt19937 rng(20261208);
  for (int round = 0; round < 2000; ++round) {
    const std::string source_label = random_name(rng);
    const std::string target_label = random_name(rng);
    const std::string broadcast = random_name(rng);
    const std::string impl = random_name(rng);
    SCOPED_TRACE(::testing::Message() << "round " << round << ": [" << source_label << "] [" << target_label << "] ["
                                    << broadcast << "] [" << impl << "]");
    std::vector<Node> nodes;
    nodes.push_back(raw_node(0, source_label, {}, {}, {{"o", broadcast}}));
    nodes.push_back(raw_node(1, target_label, {0}, {{broadcast, impl}}));
    const std::string text = dag_of(std::move(nodes)).to_mermaid();

    std::size_t at = 0;
    ASSERT_TRUE(read_literal(text, at, "graph TD\n    0[\""));
    const std::string_view source_shown = read_until(text, at, '"');
    ASSERT_TRUE(read_literal(text, at, "\"]\n    1[\""));
    const std::string_view target_shown = read_until(text, at, '"');
    ASSERT_TRUE(read_literal(text, at, "\"]\n    0 -->|"));
    const std::string_view edge_shown = read_until(text, at, '|');
    ASSERT_TRUE(read_literal(text, at, "| 1\n"));
    ASSERT_EQ(at, text.size());

    EXPECT_EQ(source_shown.find('|'), std::string_view::npos);
    EXPECT_EQ(target_shown.find('|'), std::string_view::npos);
    EXPECT_EQ(edge_shown.find('"'), std::string_view::npos);
    EXPECT_EQ(decode_entities(source_shown), source_label);
    EXPECT_EQ(decode_entities(target_shown), target_label);
    EXPECT_EQ(decode_entities(edge_shown), broadcast + " \u2192 " + impl);

    const auto plain = [](const std::string& name) { return name.find_first_of("\"|") == std::string::npos; };
    if (plain(source_label) && plain(target_label) && plain(broadcast) && plain(impl)) {
      EXPECT_EQ(text, "graph TD\n    0[\"" + source_label + "\"]\n    1[\"" + target_label + "\"]\n    0 -->|" +
                          broadcast + " \u2192 " + impl + "| 1\n");
    }
  }
}

const std::string kRunClasses =
    "    classDef hit fill:#d3f9d8,stroke:#2b8a3e\n"
    "    classDef miss fill:#fff3bf,stroke:#e67700\n"
    "    classDef failed fill:#ffe3e3,stroke:#c92a2a,stroke-width:3px\n";
const std::string kLegend =
    "    subgraph legend [Legend]\n"
    "        legend_hit[\"cache hit\"]\n"
    "        legend_miss[\"cache miss: reason\"]\n"
    "        legend_failed[\"failed\"]\n"
    "    end\n"
    "    class legend_hit hit\n"
    "    class legend_miss miss\n"
    "    class legend_failed failed\n";

TEST(MermaidRunMarks, OutcomesUnderLabelsClassesInNodeOrderAndLegend) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, "A", {}, {}, {{"o", "x"}}));
  nodes.push_back(raw_node(2, "B", {0}, {{"x", "i"}}));
  nodes.push_back(raw_node(1, std::nullopt, {}));
  nodes.push_back(raw_node(5, "C", {}));
  nodes.push_back(raw_node(4, "D", {}));
  const Dag dag = dag_of(std::move(nodes));
  const std::string plain = dag.to_mermaid();
  NodeRunMarks marks;
  marks[0] = {RunOutcome::kHit, "ignored for a hit"};
  marks[2] = {RunOutcome::kMiss, "input_changed"};
  marks[1] = {RunOutcome::kFailed, "not_found"};
  marks[5] = {RunOutcome::kMiss, ""};
  marks[4] = {RunOutcome::kHit, ""};
  marks[77] = {RunOutcome::kFailed, "no such node"};
  EXPECT_EQ(dag.to_mermaid(marks),
            "graph TD\n"
            "    0[\"A<br/>hit\"]\n"
            "    2[\"B<br/>miss: input_changed\"]\n"
            "    1[\"Node 1<br/>failed, miss: not_found\"]\n"
            "    5[\"C<br/>miss\"]\n"
            "    4[\"D<br/>hit\"]\n"
            "    0 -->|x \u2192 i| 2\n" +
                kRunClasses +
                "    class 0,4 hit\n"
                "    class 2,5 miss\n"
                "    class 1 failed\n" +
                kLegend);
  // Marks never change the plain diagram, and no marks still draws the legend.
  EXPECT_EQ(dag.to_mermaid(), plain);
  EXPECT_EQ(dag.to_mermaid(NodeRunMarks{}), plain + kRunClasses + kLegend);
}

TEST(MermaidRunMarks, ReasonTextIsEscapedAndBranchFillsStay) {
  Graph graph;
  graph.add(noop(), "a|\"b\"");
  graph.branch([] {
    Graph sub;
    sub.add(noop(), "S");
    return sub;
  }());
  const Dag dag = std::move(graph).build();
  NodeRunMarks marks;
  marks[0] = {RunOutcome::kMiss, "<b>\"x\"|&#quot;\nnext"};
  marks[1] = {RunOutcome::kHit, ""};
  const std::string text = dag.to_mermaid(marks);
  EXPECT_NE(text.find("    0[\"a#124;#quot;b#quot;<br/>miss: #lt;b#gt;#quot;x#quot;#124;#amp;#35;quot; next\"]\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("    style 1 fill:#e1f5ff\n" + kRunClasses + "    class 1 hit\n    class 0 miss\n"),
            std::string::npos)
      << text;
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
