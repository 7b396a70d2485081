#include "dag/dag.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "builder/graph.hpp"
#include "cache/memory_backend.hpp"
#include "test_support.hpp"

namespace quillon {
namespace {

using testing::CallCounter;
using testing::constant;
using testing::noop;
using testing::pairs;
using testing::unary;

Node raw_node(NodeId id, std::vector<NodeId> deps, NodeFunction function = noop(), NameMap inputs = {},
              NameMap outputs = {}) {
  Node node = Node::create(id, std::move(function), default_cache_version(id), std::nullopt, std::move(inputs),
                           std::move(outputs));
  node.dependencies = std::move(deps);
  return node;
}

CacheBackendPtr backend() { return MemoryCacheBackend::create(16, std::nullopt); }

ExecutionOptions uncached() {
  ExecutionOptions options;
  options.enabled = false;
  return options;
}

TEST(DagOrder, CyclesAndDanglingDependenciesAreLeftOutSilently) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}));
  nodes.push_back(raw_node(1, {2}));   // cycle 1 <-> 2
  nodes.push_back(raw_node(2, {1}));
  nodes.push_back(raw_node(3, {2}));   // downstream of the cycle
  nodes.push_back(raw_node(4, {99}));  // dangling
  nodes.push_back(raw_node(5, {0}));
  nodes.push_back(raw_node(6, {}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  EXPECT_EQ(dag.topological_order(), (std::vector<NodeId>{0, 6, 5}));
  EXPECT_EQ(dag.levels(), (std::vector<std::vector<NodeId>>{{0, 6}, {5}}));
  const ExecutionResult result = dag.execute_detailed_with_options(false, std::nullopt, uncached());
  EXPECT_EQ(result.node_statuses.size(), 3u);
  EXPECT_FALSE(result.node_statuses.contains(1));
}

TEST(DagOrder, LevelIsTheLongestChainLength) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}));
  nodes.push_back(raw_node(1, {0}));
  nodes.push_back(raw_node(2, {1, 0}));
  nodes.push_back(raw_node(3, {0}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  EXPECT_EQ(dag.levels(), (std::vector<std::vector<NodeId>>{{0}, {1, 3}, {2}}));
  EXPECT_EQ(dag.find_node(3)->id, 3u);
  EXPECT_EQ(dag.find_node(42), nullptr);
}

TEST(DagRun, EmptyDagReturnsNothing) {
  const Dag dag = Dag::create({}, backend());
  for (bool parallel : {false, true}) {
    const ExecutionResult result = dag.execute_detailed_with_options(parallel, std::nullopt, ExecutionOptions{});
    EXPECT_TRUE(result.context.empty());
    EXPECT_TRUE(result.node_statuses.empty());
    EXPECT_EQ(result.cache_stats.misses, 0u);
  }
}

Dag chain_with_branch() {
  // Source writes x; Double reads x writes y; a branch of Double attached to
  // Source writes the branch key of y; Reader reads the branch copy's y.
  Graph sub;
  sub.add(unary("v", "w", [](double v) { return v * 100; }), "Sub", pairs({{"x", "v"}}), pairs({{"w", "y"}}));
  Graph graph;
  graph.add(constant("o", 3), "Source", std::nullopt, pairs({{"o", "x"}}));
  graph.branch(std::move(sub));
  graph.add(unary("v", "w", [](double v) { return v * 2; }), "Double", pairs({{"x", "v"}}), pairs({{"w", "y"}}));
  graph.add(unary("v", "w", [](double v) { return v + 1; }), "Reader", pairs({{"1:y", "v"}}), pairs({{"w", "z"}}));
  return std::move(graph).build();
}

TEST(DagRun, BranchCopiesWriteQualifiedKeysOnly) {
  const Dag dag = chain_with_branch();
  for (bool parallel : {false, true}) {
    const ExecutionResult result = dag.execute_detailed_with_options(parallel, std::nullopt, uncached());
    EXPECT_EQ(result.context.at("__branch_1__y").as_float(), 300);
    // The merged Sub node (no branch id) writes plain y too; Double and the
    // merged node both write y. Reader depends on every y writer and reads
    // the branch copy.
    EXPECT_EQ(result.context.at("z").as_float(), 301);
    EXPECT_EQ(result.node_statuses.size(), dag.node_count());
  }
}

TEST(DagRun, RunsAreIndependent) {
  CallCounter calls;
  Graph graph;
  graph.add(constant("o", 1, calls), "A", std::nullopt, pairs({{"o", "x"}}));
  const Dag dag = std::move(graph).build();
  ExecutionResult first = dag.execute_detailed_with_options(false, std::nullopt, ExecutionOptions{});
  ExecutionResult second = dag.execute_detailed_with_options(false, std::nullopt, ExecutionOptions{});
  EXPECT_EQ(calls.count(), 2);
  EXPECT_EQ(first.context.at("x").as_float(), second.context.at("x").as_float());
  EXPECT_EQ(second.node_statuses.at(0).reason, CacheMissReason::kMissingVersion);
}

TEST(DagParallel, LevelMembersReadTheLevelStartSnapshot) {
  // Node 1 reads x with no declared dependency, so both nodes share level 0.
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}, constant("o", 5), {}, {{"o", "x"}}));
  nodes.push_back(raw_node(1, {}, unary("v", "w", [](double v) { return v; }), {{"x", "v"}}, {{"w", "seen"}}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  EXPECT_EQ(dag.execute_detailed_with_options(false, std::nullopt, uncached()).context.at("seen").as_float(), 5);
  for (std::optional<std::size_t> threads : {std::optional<std::size_t>{}, std::optional<std::size_t>{0},
                                             std::optional<std::size_t>{1}}) {
    const ExecutionResult result = dag.execute_detailed_with_options(true, threads, uncached());
    EXPECT_FALSE(result.context.contains("seen")) << "a level member saw a sibling's output";
    EXPECT_EQ(result.context.at("x").as_float(), 5);
  }
}

// Records how many node functions run at once.
struct ConcurrencyProbe {
  std::mutex mu;
  int running = 0;
  int peak = 0;
  NodeFunction function() {
    return make_node_function([this](const DataMap&) {
      {
        std::lock_guard lock(mu);
        peak = std::max(peak, ++running);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      {
        std::lock_guard lock(mu);
        --running;
      }
      return NodeOutput{};
    });
  }
};

int peak_concurrency(std::optional<std::size_t> max_threads) {
  ConcurrencyProbe probe;
  std::vector<Node> nodes;
  for (NodeId id = 0; id < 5; ++id) nodes.push_back(raw_node(id, {}, probe.function()));
  const Dag dag = Dag::create(std::move(nodes), backend());
  const ExecutionResult result = dag.execute_detailed_with_options(true, max_threads, uncached());
  EXPECT_EQ(result.node_statuses.size(), 5u);
  EXPECT_EQ(result.cache_stats.reason_counts[static_cast<int>(CacheMissReason::kDisabled)], 5u);
  return probe.peak;
}

TEST(DagParallel, ChunksBoundConcurrency) {
  EXPECT_LE(peak_concurrency(2), 2);
  EXPECT_EQ(peak_concurrency(0), 1) << "max_threads 0 behaves as 1";
  EXPECT_EQ(peak_concurrency(1), 1);
  EXPECT_GE(peak_concurrency(std::nullopt), 2) << "without a limit a level runs its nodes at once";
}

TEST(DagParallel, AWorkerThatThrowsEndsTheRunWithAnError) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}, make_node_function([](const DataMap&) -> NodeOutput {
                             throw std::runtime_error("boom");
                           })));
  nodes.push_back(raw_node(1, {}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  EXPECT_THROW(dag.execute_detailed_with_options(true, std::nullopt, uncached()), ExecutionError);
}

TEST(DagBackend, APassedBackendServesOneRunAndLeavesTheDagsOwn) {
  CallCounter calls;
  Graph graph;
  graph.add(constant("o", 1, calls), "A", std::nullopt, pairs({{"o", "x"}}));
  graph.set_cache_version_for("A", "v1");
  const Dag dag = std::move(graph).build();
  auto other = MemoryCacheBackend::create(8, std::nullopt);
  ExecutionOptions options;
  dag.execute_detailed_with_backend_options(false, std::nullopt, options, other);
  EXPECT_EQ(other->stats().entries, 1u);
  EXPECT_EQ(dag.cache_backend()->stats().entries, 0u);
  const ExecutionResult again = dag.execute_detailed_with_backend_options(true, 4, options, other);
  EXPECT_TRUE(again.node_statuses.at(0).hit);
  EXPECT_EQ(calls.count(), 1);
}

}  // namespace
}  // namespace quillon
