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
  const std::vector<std::size_t> unplaced(dag.unplaced_positions().begin(), dag.unplaced_positions().end());
  EXPECT_EQ(unplaced, (std::vector<std::size_t>{1, 2, 3, 4}));
  const ExecutionResult result = dag.run({.cache = uncached()});
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
    const ExecutionResult result = dag.run({.parallel = parallel});
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
    const ExecutionResult result = dag.run({.parallel = parallel, .cache = uncached()});
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
  ExecutionResult first = dag.run({});
  ExecutionResult second = dag.run({});
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
  EXPECT_EQ(dag.run({.cache = uncached()}).context.at("seen").as_float(), 5);
  for (std::optional<std::size_t> threads : {std::optional<std::size_t>{}, std::optional<std::size_t>{0},
                                             std::optional<std::size_t>{1}}) {
    const ExecutionResult result = dag.run({.parallel = true, .max_threads = threads, .cache = uncached()});
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
  const ExecutionResult result = dag.run({.parallel = true, .max_threads = max_threads, .cache = uncached()});
  EXPECT_EQ(result.node_statuses.size(), 5u);
  EXPECT_EQ(result.cache_stats.reason_counts[static_cast<int>(CacheMissReason::kDisabled)], 5u);
  return probe.peak;
}

TEST(DagParallel, ALevelAppliesItsNodesInLevelOrderNotCompletionOrder) {
  // Two nodes of one level write one variable; the first one in the level
  // finishes last. A sequential run lets the second write win, and so must
  // a parallel one, cached or not.
  auto writer = [](double value, int delay_ms) {
    return make_node_function([value, delay_ms](const DataMap&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      return NodeOutput{{{"o", GraphData::from_float(value)}}};
    });
  };
  for (bool cached : {false, true}) {
    std::vector<Node> nodes;
    nodes.push_back(raw_node(0, {}, writer(1, 60), {}, {{"o", "v"}}));
    nodes.push_back(raw_node(1, {}, writer(2, 0), {}, {{"o", "v"}}));
    for (Node& node : nodes) node.version_set = cached;
    const Dag dag = Dag::create(std::move(nodes), backend());
    ASSERT_EQ(dag.levels(), (std::vector<std::vector<NodeId>>{{0, 1}}));
    const ExecutionOptions options = cached ? ExecutionOptions{} : uncached();
    // A fresh backend per run, so that cached nodes are computed each time.
    EXPECT_EQ(dag.run({.cache = options, .backend = backend()}).context.at("v").as_float(), 2) << "cached=" << cached;
    for (std::optional<std::size_t> threads : {std::optional<std::size_t>(), std::optional<std::size_t>(2)}) {
      const ExecutionResult result =
          dag.run({.parallel = true, .max_threads = threads, .cache = options, .backend = backend()});
      EXPECT_EQ(result.context.at("v").as_float(), 2) << "cached=" << cached;
    }
  }
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
  EXPECT_THROW(dag.run({.parallel = true, .cache = uncached()}), ExecutionError);
}

TEST(DagBackend, APassedBackendServesOneRunAndLeavesTheDagsOwn) {
  CallCounter calls;
  Graph graph;
  graph.add(constant("o", 1, calls), "A", std::nullopt, pairs({{"o", "x"}}));
  graph.set_cache_version_for("A", "v1");
  const Dag dag = std::move(graph).build();
  auto other = MemoryCacheBackend::create(8, std::nullopt);
  ExecutionOptions options;
  dag.run({.cache = options, .backend = other});
  EXPECT_EQ(other->stats().entries, 1u);
  EXPECT_EQ(dag.cache_backend()->stats().entries, 0u);
  const ExecutionResult again = dag.run({.parallel = true, .max_threads = 4, .cache = options, .backend = other});
  EXPECT_TRUE(again.node_statuses.at(0).hit);
  EXPECT_EQ(calls.count(), 1);
}

// A backend that serves every lookup with the same outputs.
class ServingBackend final : public CacheBackend {
 public:
  explicit ServingBackend(DataMap outputs) : outputs_(std::move(outputs)) {}
  CacheGetResult get(const std::string&, const CacheLookup&) override { return outputs_; }
  PutResult put(const std::string&, std::string, CacheEntry) override { return {}; }
  CacheStats stats() override { return {}; }
  void clear_all() override {}
  void clear_namespace(const std::string&) override {}
  void clear_node(const std::string&, std::uint64_t, const std::optional<std::string>&) override {}
  ComputeClaim begin_compute(const std::string&, const std::string&) override { return ComputeClaim::kAcquired; }
  bool wait_for_compute(const std::string&, const std::string&, std::chrono::milliseconds) override { return true; }
  void finish_compute(const std::string&, const std::string&) override {}

 private:
  DataMap outputs_;
};

std::vector<std::string> context_keys(const ExecutionContext& context) {
  std::vector<std::string> keys;
  context.for_each([&](const std::string& key, const GraphData&) { keys.push_back(key); });
  return keys;
}

TEST(DagContext, ReadsLikeAMapInTheOrderValuesFirstArose) {
  // Node 0 is added first but reads what node 1 writes.
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {1}, unary("x", "y", [](double v) { return v + 1; }), {{"a", "x"}}, {{"y", "b"}}));
  nodes.push_back(raw_node(1, {}, constant("o", 1.0), {}, {{"o", "a"}}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  for (bool parallel : {false, true}) {
    const ExecutionResult result = dag.run({.parallel = parallel, .cache = uncached()});
    EXPECT_EQ(context_keys(result.context), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(result.context.size(), 2u);
    EXPECT_EQ(result.context.at("b").as_float(), 2.0);
    EXPECT_FALSE(result.context.contains("x"));
    EXPECT_THROW(result.context.at("x"), std::out_of_range);
    const DataMap map = result.context.to_map();
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.at("a").as_float(), 1.0);
  }
}

TEST(DagContext, OnlyMappedOutputsOfSuccessfulCallsArrive) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}, make_node_function([](const DataMap&) {
                             return NodeOutput{{{"y", GraphData::from_int(1)}, {"junk", GraphData::from_int(2)}}};
                           }),
                           {}, {{"y", "kept"}}));
  nodes.push_back(raw_node(1, {}, make_node_function([](const DataMap&) {
                             return NodeOutput{{{"y", GraphData::from_int(3)}}, true};
                           }),
                           {}, {{"y", "failed"}}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  for (bool parallel : {false, true}) {
    const ExecutionResult result = dag.run({.parallel = parallel, .cache = uncached()});
    EXPECT_EQ(context_keys(result.context), (std::vector<std::string>{"kept"}));
    EXPECT_EQ(result.context.at("kept").as_int(), 1);
  }
}

TEST(DagContext, TwoInputsFeedingOneImplNameGiveOneValue) {
  auto seen = std::make_shared<DataMap>();
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}, constant("o", 7.0), {}, {{"o", "b"}}));
  // Both "a" (never written) and "b" feed x: the one present arrives.
  nodes.push_back(raw_node(1, {0}, make_node_function([seen](const DataMap& in) {
                             *seen = in;
                             return NodeOutput{};
                           }),
                           {{"a", "x"}, {"b", "x"}}, {}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  dag.run({.cache = uncached()});
  ASSERT_EQ(seen->size(), 1u);
  EXPECT_EQ(seen->at("x").as_float(), 7.0);
}

TEST(DagContext, StoredOutputsOutsideTheNodesTableStillArrive) {
  Node node = raw_node(0, {}, noop(), {}, {{"y", "v"}});
  node.version_set = true;
  node.branch_id = 4;
  std::vector<Node> nodes;
  nodes.push_back(std::move(node));
  auto served = std::make_shared<ServingBackend>(
      DataMap{{"v", GraphData::from_int(1)}, {"other", GraphData::from_int(2)}});
  const Dag dag = Dag::create(std::move(nodes), served);
  const ExecutionResult result = dag.run({});
  EXPECT_TRUE(result.node_statuses.at(0).hit);
  EXPECT_EQ(result.context.at("__branch_4__v").as_int(), 1);
  EXPECT_EQ(result.context.at("__branch_4__other").as_int(), 2);
  EXPECT_EQ(result.context.size(), 2u);
  EXPECT_FALSE(result.context.contains("other"));
}

TEST(DagContext, StatusesAreOnlyCollectedWhenAsked) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}, constant("o", 1.0), {}, {{"o", "a"}}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  ExecutionOptions options = uncached();
  options.collect_node_statuses = false;
  const ExecutionResult result = dag.run({.cache = options});
  EXPECT_TRUE(result.node_statuses.empty());
  EXPECT_EQ(result.cache_stats.misses, 1u);
  EXPECT_EQ(result.context.at("a").as_float(), 1.0);
}

// Offers fixed outputs in order, then reports the call as failed or not;
// `seen` receives the first input's value as it was after the offers.
class OfferingFunction final : public NodeCallable {
 public:
  OfferingFunction(std::vector<std::pair<std::string, double>> offers, bool fail,
                   std::shared_ptr<std::optional<double>> seen = nullptr)
      : offers_(std::move(offers)), fail_(fail), seen_(std::move(seen)) {}
  bool call(const NamedValue* inputs, std::size_t count, OutputSink& sink, const CallSite&) const override {
    for (const auto& [name, value] : offers_) {
      const int index = sink.index_for(name);
      if (index >= 0) sink.put(index, GraphData::from_float(value));
    }
    if (seen_ && count > 0) *seen_ = inputs[0].value->as_float();
    return !fail_;
  }

 private:
  std::vector<std::pair<std::string, double>> offers_;
  bool fail_;
  std::shared_ptr<std::optional<double>> seen_;
};

NodeFunction offering(std::vector<std::pair<std::string, double>> offers, bool fail,
                      std::shared_ptr<std::optional<double>> seen = nullptr) {
  return std::make_shared<const OfferingFunction>(std::move(offers), fail, std::move(seen));
}

TEST(DagContext, AFailedCallLeavesTheContextAsItWas) {
  // Node 1 overwrites "a", writes "b" twice and another impl name onto "c",
  // then fails: nothing of it may remain, in any kind of run.
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}, constant("o", 1.0), {}, {{"o", "a"}}));
  nodes.push_back(raw_node(1, {0}, offering({{"p", 5.0}, {"q", 6.0}, {"q", 7.0}, {"r", 8.0}}, true), {},
                           {{"p", "a"}, {"q", "b"}, {"r", "c"}}));
  nodes.push_back(raw_node(2, {1}, offering({{"s", 9.0}}, false), {}, {{"s", "d"}}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  for (bool parallel : {false, true}) {
    for (bool cache : {false, true}) {
      ExecutionOptions options = uncached();
      options.enabled = cache;
      const ExecutionResult result = dag.run({.parallel = parallel, .cache = options});
      EXPECT_EQ(context_keys(result.context), (std::vector<std::string>{"a", "d"}));
      EXPECT_EQ(result.context.at("a").as_float(), 1.0);
      EXPECT_EQ(result.context.at("d").as_float(), 9.0);
      EXPECT_EQ(result.cache_stats.misses, 3u);
    }
  }
}

TEST(DagContext, ASuccessfulCallOverwritesAndTheLastOfferWins) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}, constant("o", 1.0), {}, {{"o", "a"}}));
  // Two impl names onto one key: the later offer wins.
  nodes.push_back(raw_node(1, {0}, offering({{"p", 5.0}, {"q", 6.0}, {"q", 7.0}, {"p", 2.0}}, false), {},
                           {{"p", "a"}, {"q", "b"}}));
  nodes.push_back(raw_node(2, {1}, offering({{"u", 3.0}, {"v", 4.0}}, false), {}, {{"u", "e"}, {"v", "e"}}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  for (bool parallel : {false, true}) {
    const ExecutionResult result = dag.run({.parallel = parallel, .cache = uncached()});
    EXPECT_EQ(context_keys(result.context), (std::vector<std::string>{"a", "b", "e"}));
    EXPECT_EQ(result.context.at("a").as_float(), 2.0);
    EXPECT_EQ(result.context.at("b").as_float(), 7.0);
    EXPECT_EQ(result.context.at("e").as_float(), 4.0);
  }
}

TEST(DagContext, InputsStayIntactWhileANodeWritesTheKeyItReads) {
  auto seen = std::make_shared<std::optional<double>>();
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}, constant("o", 1.0), {}, {{"o", "a"}}));
  nodes.push_back(raw_node(1, {0}, offering({{"y", 5.0}}, false, seen), {{"a", "x"}}, {{"y", "a"}}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  for (bool parallel : {false, true}) {
    seen->reset();
    const ExecutionResult result = dag.run({.parallel = parallel, .cache = uncached()});
    EXPECT_EQ(*seen, 1.0);
    EXPECT_EQ(result.context.at("a").as_float(), 5.0);
  }
}


// A function that fails every call, giving `reason` when it has one.
class FailingFunction final : public NodeCallable {
 public:
  explicit FailingFunction(std::optional<std::string> reason) : reason_(std::move(reason)) {}
  bool call(const NamedValue*, std::size_t, OutputSink&, const CallSite&) const override {
    if (reason_) note_call_failure(*reason_);
    return false;
  }

 private:
  std::optional<std::string> reason_;
};

Node versioned(Node node) {
  node.cache_version = "v1";
  node.version_set = true;
  return node;
}

TEST(DagInputs, InputsAreReadLikeUpstreamValuesAndAWriterReplacesThem) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}, constant("o", 2.0), {}, {{"o", "y"}}));
  nodes.push_back(raw_node(1, {0}, make_node_function([](const DataMap& in) {
                             if (!in.contains("x")) return NodeOutput{{}, true};
                             const double x = *in.at("x").as_f64_lossy(), y = *in.at("y").as_f64_lossy();
                             return NodeOutput{{{"s", GraphData::from_float(x + y)}}};
                           }),
                           {{"x", "x"}, {"y", "y"}}, {{"s", "sum"}}));
  const Dag dag = Dag::create(std::move(nodes), backend());
  const DataMap inputs{{"x", GraphData::from_float(3.0)}, {"y", GraphData::from_float(100.0)},
                       {"free", GraphData::from_string("t")}};
  for (bool parallel : {false, true}) {
    const ExecutionResult result = dag.run({.parallel = parallel, .cache = uncached(), .inputs = &inputs});
    EXPECT_EQ(result.context.at("sum").as_float(), 5.0);
    EXPECT_EQ(result.context.at("y").as_float(), 2.0);
    EXPECT_EQ(result.context.at("x").as_float(), 3.0);
    EXPECT_EQ(result.context.at("free").as_string(), "t");
    EXPECT_FALSE(dag.run({.parallel = parallel, .cache = uncached()}).context.contains("x"));
  }
}

TEST(DagInputs, CachedNodesMissWhenAnInputTheyReadChanges) {
  auto calls = CallCounter{};
  std::vector<Node> nodes;
  nodes.push_back(versioned(raw_node(0, {}, unary("x", "y", [](double x) { return x * 2; }, calls), {{"x", "x"}},
                                     {{"y", "y"}})));
  const Dag dag = Dag::create(std::move(nodes), backend());
  ExecutionOptions cached;
  cached.collect_node_statuses = true;
  auto run = [&](double x, bool parallel) {
    const DataMap inputs{{"x", GraphData::from_float(x)}, {"other", GraphData::from_float(x)}};
    return dag.run({.parallel = parallel, .cache = cached, .inputs = &inputs});
  };
  for (bool parallel : {false, true}) {
    dag.cache_backend()->clear_all();
    EXPECT_EQ(run(1.0, parallel).node_statuses.at(0).reason, CacheMissReason::kNotFound);
    const ExecutionResult again = run(1.0, parallel);
    EXPECT_TRUE(again.node_statuses.at(0).hit);
    EXPECT_EQ(again.context.at("y").as_float(), 2.0);
    const ExecutionResult changed = run(4.0, parallel);
    EXPECT_EQ(changed.node_statuses.at(0).reason, CacheMissReason::kInputChanged);
    EXPECT_EQ(changed.context.at("y").as_float(), 8.0);
  }
  EXPECT_EQ(calls.count(), 4);
}

TEST(DagNodeRuns, FailuresTimesAndReasonsAreRecordedOnlyWhenAsked) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}, std::make_shared<FailingFunction>("ValueError: bad"), {}, {{"o", "a"}}));
  nodes.push_back(raw_node(1, {}, std::make_shared<FailingFunction>(std::nullopt), {}, {{"o", "b"}}));
  nodes.push_back(raw_node(2, {}, make_node_function([](const DataMap&) {
                             std::this_thread::sleep_for(std::chrono::milliseconds(20));
                             return NodeOutput{{{"o", GraphData::from_float(1.0)}}};
                           }),
                           {}, {{"o", "c"}}));
  nodes.push_back(versioned(raw_node(3, {}, std::make_shared<FailingFunction>("KeyError: 'k'"), {}, {{"o", "d"}})));
  const Dag dag = Dag::create(std::move(nodes), backend());
  for (bool parallel : {false, true}) {
    for (bool cache : {false, true}) {
      ExecutionOptions options = uncached();
      options.enabled = cache;
      EXPECT_TRUE(dag.run({.parallel = parallel, .cache = options}).node_runs.empty());
      const ExecutionResult result = dag.run({.parallel = parallel, .cache = options, .collect_node_runs = true});
      ASSERT_EQ(result.node_runs.size(), 4u);
      EXPECT_TRUE(result.node_runs.at(0).failed);
      EXPECT_EQ(result.node_runs.at(0).error, "ValueError: bad");
      // A failure without a reason never shows another call's reason.
      EXPECT_TRUE(result.node_runs.at(1).failed);
      EXPECT_EQ(result.node_runs.at(1).error, std::nullopt);
      EXPECT_FALSE(result.node_runs.at(2).failed);
      EXPECT_EQ(result.node_runs.at(2).error, std::nullopt);
      EXPECT_GE(result.node_runs.at(2).seconds, 0.015);
      EXPECT_LT(result.node_runs.at(0).seconds, result.node_runs.at(2).seconds);
      EXPECT_TRUE(result.node_runs.at(3).failed);
      EXPECT_EQ(result.node_runs.at(3).error, "KeyError: 'k'");
    }
  }
}

// Records every update; the starting thread alone calls it.
class RecordingProgress final : public ProgressSink {
 public:
  void update(std::uint64_t done, std::uint64_t total) override { updates.emplace_back(done, total); }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> updates;
};

TEST(DagProgress, CountsNodesUpToTheTotalWithoutGoingBack) {
  std::vector<Node> nodes;
  nodes.push_back(raw_node(0, {}, constant("o", 1.0), {}, {{"o", "a"}}));
  for (NodeId id = 1; id <= 6; ++id) {
    nodes.push_back(raw_node(id, {0}, make_node_function([](const DataMap&) {
                               std::this_thread::sleep_for(std::chrono::milliseconds(10));
                               return NodeOutput{};
                             })));
  }
  nodes.push_back(raw_node(7, {99}));  // never placed: not counted
  const Dag dag = Dag::create(std::move(nodes), backend());
  for (bool parallel : {false, true}) {
    for (std::optional<std::size_t> threads : {std::optional<std::size_t>(), std::optional<std::size_t>(2)}) {
      RecordingProgress progress;
      dag.run({.parallel = parallel, .max_threads = threads, .cache = uncached(), .progress = &progress});
      ASSERT_FALSE(progress.updates.empty());
      EXPECT_EQ(progress.updates.back(), (std::pair<std::uint64_t, std::uint64_t>(7, 7)));
      for (std::size_t i = 1; i < progress.updates.size(); ++i) {
        EXPECT_LE(progress.updates[i - 1].first, progress.updates[i].first);
        EXPECT_EQ(progress.updates[i].second, 7u);
      }
      if (!parallel) EXPECT_EQ(progress.updates.size(), 8u);  // every node, then the end
    }
  }
}

TEST(DagProgress, ASinkThatStopsTheRunEndsIt) {
  class Stopping final : public ProgressSink {
   public:
    void update(std::uint64_t done, std::uint64_t) override {
      if (done == 2) throw RunInterrupted(PyObjectRef());
    }
  } stopping;
  auto calls = CallCounter{};
  std::vector<Node> nodes;
  for (NodeId id = 0; id < 5; ++id) nodes.push_back(raw_node(id, id == 0 ? std::vector<NodeId>{} : std::vector<NodeId>{id - 1}, constant("o", 1.0, calls)));
  const Dag dag = Dag::create(std::move(nodes), backend());
  EXPECT_THROW(dag.run({.cache = uncached(), .progress = &stopping}), RunInterrupted);
  EXPECT_EQ(calls.count(), 2);
}

}  // namespace
}  // namespace quillon
