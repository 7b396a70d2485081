#include "builder/graph.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace quillon {
namespace {

using testing::constant;
using testing::noop;
using testing::pairs;

const Node& node_by_id(const Dag& dag, NodeId id) {
  const Node* node = dag.find_node(id);
  EXPECT_NE(node, nullptr) << "no node " << id;
  return *node;
}

TEST(BuilderAdd, NumbersNodesFromZeroWithDefaultVersions) {
  Graph graph;
  graph.add(noop(), "A").add(noop());
  ASSERT_EQ(graph.nodes().size(), 2u);
  EXPECT_EQ(graph.nodes()[0].id, 0u);
  EXPECT_EQ(graph.nodes()[0].cache_version, "node-0-version-unset");
  EXPECT_EQ(graph.nodes()[1].id, 1u);
  EXPECT_EQ(graph.nodes()[1].label, std::nullopt);
  EXPECT_EQ(graph.last_layer(), std::vector<NodeId>{1});
}

TEST(BuilderAdd, RepeatedPairsKeepTheLaterOne) {
  Graph graph;
  graph.add(noop(), std::nullopt, pairs({{"x", "a"}, {"x", "b"}}), pairs({{"o", "p"}, {"o", "q"}}));
  EXPECT_EQ(graph.nodes()[0].inputs.at("x"), "b");
  EXPECT_EQ(graph.nodes()[0].outputs.at("o"), "q");
}

TEST(BuilderVariants, FreeVariantsOnAnEmptyBuilder) {
  Graph graph;
  graph.variants({noop(), noop()}, "Scale");
  ASSERT_EQ(graph.nodes().size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    const Node& node = graph.nodes()[i];
    EXPECT_EQ(node.label, "Scale (v" + std::to_string(i) + ")");
    EXPECT_EQ(node.variant_index, i);
    EXPECT_FALSE(node.is_branch);
    EXPECT_TRUE(node.dependencies.empty());
  }
  EXPECT_FALSE(graph.attach_points());
}

TEST(BuilderVariants, TiedToThePreviousLayerFunctionMajor) {
  Graph graph;
  graph.add(noop(), "A").add(noop(), "B");  // last layer: {1}
  graph.variants({noop(), noop(), noop()}, std::nullopt);
  ASSERT_EQ(graph.nodes().size(), 5u);
  for (std::size_t i = 2; i < 5; ++i) {
    EXPECT_EQ(graph.nodes()[i].dependencies, std::vector<NodeId>{1});
    EXPECT_TRUE(graph.nodes()[i].is_branch);
    EXPECT_FALSE(graph.nodes()[i].label);
  }
  EXPECT_EQ(graph.last_layer(), (std::vector<NodeId>{2, 3, 4}));
  EXPECT_EQ(graph.attach_points(), std::vector<NodeId>{1});

  // The next add repeats once per variant node.
  graph.add(noop(), "After");
  ASSERT_EQ(graph.nodes().size(), 8u);
  EXPECT_EQ(graph.nodes()[7].cache_version, "node-7-version-unset");
  EXPECT_TRUE(graph.nodes()[7].dependencies.empty());
}

TEST(BuilderVariants, EmptyFunctionListCreatesNothing) {
  Graph graph;
  graph.add(noop()).variants({}, "V");
  EXPECT_EQ(graph.nodes().size(), 1u);
  EXPECT_TRUE(graph.last_layer().empty());
}

// Subgraph: A writes a, B reads a and writes b.
Graph two_node_subgraph() {
  Graph sub;
  sub.add(constant("o", 1), "A", std::nullopt, pairs({{"o", "a"}}));
  sub.add(noop(), "B", pairs({{"a", "i"}}), pairs({{"o", "b"}}));
  return sub;
}

TEST(BuilderBranch, CopiesAttachToTheLastAddAndMergeAtBuild) {
  Graph graph;
  graph.add(constant("o", 0), "Root", std::nullopt, pairs({{"o", "r"}}));
  EXPECT_EQ(graph.branch(two_node_subgraph()), 1u);
  ASSERT_EQ(graph.nodes().size(), 3u);
  const Node& copy_a = graph.nodes()[1];
  const Node& copy_b = graph.nodes()[2];
  EXPECT_EQ(copy_a.branch_id, 1u);
  EXPECT_TRUE(copy_a.is_branch);
  EXPECT_EQ(copy_a.dependencies, std::vector<NodeId>{0});
  EXPECT_EQ(copy_b.dependencies, std::vector<NodeId>{0});
  EXPECT_EQ(graph.last_layer(), std::vector<NodeId>{0});

  const Dag dag = std::move(graph).build();
  ASSERT_EQ(dag.node_count(), 5u);
  // Merged copies carry no branch id; both copies of A write a, so both copies of B depend on both.
  EXPECT_FALSE(node_by_id(dag, 3).branch_id);
  EXPECT_FALSE(node_by_id(dag, 4).branch_id);
  EXPECT_EQ(node_by_id(dag, 2).dependencies, (std::vector<NodeId>{0, 1, 3}));
  EXPECT_EQ(node_by_id(dag, 4).dependencies, (std::vector<NodeId>{1, 3}));
}

TEST(BuilderBranch, SuccessiveBranchesAttachToTheSameLayer) {
  Graph graph;
  graph.add(noop(), "A").variants({noop(), noop()}, "V");  // attach points {0}
  EXPECT_EQ(graph.branch(two_node_subgraph()), 1u);
  EXPECT_EQ(graph.branch(two_node_subgraph()), 2u);
  ASSERT_EQ(graph.nodes().size(), 7u);
  EXPECT_EQ(graph.nodes()[3].dependencies, std::vector<NodeId>{0});
  EXPECT_EQ(graph.nodes()[5].dependencies, std::vector<NodeId>{0});
  EXPECT_EQ(graph.nodes()[5].branch_id, 2u);
}

TEST(BuilderBranch, OnAnEmptyBuilderOnlyMergesAtBuild) {
  Graph graph;
  EXPECT_EQ(graph.branch(two_node_subgraph()), 1u);
  EXPECT_TRUE(graph.nodes().empty());
  const Dag dag = std::move(graph).build();
  EXPECT_EQ(dag.node_count(), 2u);
  EXPECT_EQ(node_by_id(dag, 1).dependencies, std::vector<NodeId>{0});
}

TEST(BuilderBranch, CopiesKeepTheirVersionTextButNotLabelSettings) {
  Graph sub;
  sub.add(noop(), "S");
  sub.set_cache_version_for("S", "sub-version");  // not carried into the parent
  Graph graph;
  graph.add(noop(), "Root");
  graph.branch(std::move(sub));
  const Dag dag = std::move(graph).build();
  EXPECT_FALSE(node_by_id(dag, 1).version_set);
  EXPECT_EQ(node_by_id(dag, 1).cache_version, "node-0-version-unset");
}

TEST(BuilderMerge, DependenciesTranslateThroughTheSubgraphsOwnIds) {
  // The subgraph's branch copy depends on the subgraph's node 0. The parent
  // also has a node 0, unrelated: the merged copy must point at the merged
  // version of the subgraph's node 0, not at the parent's.
  Graph inner;
  inner.add(noop(), "Inner");
  Graph sub;
  sub.add(noop(), "SubRoot");
  sub.branch(std::move(inner));  // sub: node 0 SubRoot, node 1 Inner copy -> [0]

  Graph graph;
  graph.add(noop(), "ParentRoot");  // parent node 0
  graph.add(noop(), "ParentSecond");
  graph.branch(std::move(sub));  // copies 2, 3 attach to node 1
  const Dag dag = std::move(graph).build();
  // Merged: sub node 0 -> 4, sub node 1 -> 5 (depends on 4), nested inner -> 6.
  ASSERT_EQ(dag.node_count(), 7u);
  EXPECT_EQ(node_by_id(dag, 4).label, "SubRoot");
  EXPECT_EQ(node_by_id(dag, 5).label, "Inner");
  EXPECT_EQ(node_by_id(dag, 5).dependencies, std::vector<NodeId>{4});
  EXPECT_EQ(node_by_id(dag, 6).label, "Inner");
  EXPECT_FALSE(node_by_id(dag, 6).branch_id);
}

TEST(BuilderBuild, DependenciesFollowProducersAndSkipSelf) {
  Graph graph;
  graph.add(noop(), "P1", std::nullopt, pairs({{"o", "x"}}));
  graph.add(noop(), "P2", std::nullopt, pairs({{"o", "x"}}));
  graph.add(noop(), "C", pairs({{"x", "i"}, {"nobody", "j"}}), pairs({{"o", "x"}}));
  graph.add(noop(), "Q", pairs({{"7:x", "i"}}));
  const Dag dag = std::move(graph).build();
  EXPECT_EQ(node_by_id(dag, 2).dependencies, (std::vector<NodeId>{0, 1}));
  EXPECT_EQ(node_by_id(dag, 3).dependencies, (std::vector<NodeId>{0, 1, 2}))
      << "a qualified input depends on every writer of the plain name";
}

TEST(BuilderBuild, ContentKeysReachEveryNodeIncludingMergedOnes) {
  Graph sub;
  sub.add(noop(), "S");
  Graph graph;
  graph.add(noop(), "L").add(noop());
  graph.branch(std::move(sub));
  graph.set_content_keys(true);
  const Dag dag = std::move(graph).build();
  for (const Node& node : dag.nodes()) EXPECT_TRUE(node.content_keys) << node.id;

  Graph plain;
  plain.add(noop(), "L");
  const Dag plain_dag = std::move(plain).build();
  for (const Node& node : plain_dag.nodes()) EXPECT_FALSE(node.content_keys);
}

TEST(BuilderBuild, LabelSettingsReachCopiesAndMergedNodes) {
  Graph sub;
  sub.add(noop(), "L");
  Graph graph;
  graph.add(noop(), "L").add(noop());
  graph.branch(std::move(sub));
  graph.set_cache_version_for("L", "v2");
  graph.set_cacheable_for("L", false);
  graph.set_cache_key_inputs_for("L", {"a"});
  graph.set_cache_version_for("Nobody", "ignored");
  const Dag dag = std::move(graph).build();
  for (const Node& node : dag.nodes()) {
    if (node.label == "L") {
      EXPECT_TRUE(node.version_set);
      EXPECT_EQ(node.cache_version, "v2");
      EXPECT_FALSE(node.cacheable);
      EXPECT_EQ(node.cache_key_vars, std::vector<std::string>{"a"});
    } else {
      EXPECT_FALSE(node.version_set);
      EXPECT_TRUE(node.cacheable);
    }
  }
  EXPECT_EQ(dag.node_count(), 4u);
}

}  // namespace
}  // namespace quillon
