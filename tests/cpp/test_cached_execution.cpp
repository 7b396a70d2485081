#include "cache/cached_step.hpp"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "builder/graph.hpp"
#include "cache/memory_backend.hpp"
#include "test_support.hpp"

namespace quillon {
namespace {

using testing::CallCounter;
using testing::constant;
using testing::pairs;
using testing::unary;

constexpr auto kTimeout = std::chrono::seconds(20);

std::optional<CacheMissReason> reason_of(const ExecutionResult& result, NodeId id) {
  return result.node_statuses.at(id).reason;
}

// Source (0) writes x; Mid (1) writes y = 7 for any non-negative x; Sink (2)
// writes z = y + 1. All versioned v1.
struct Chain {
  CallCounter source_calls, mid_calls, sink_calls;
  std::shared_ptr<std::atomic<double>> source_value = std::make_shared<std::atomic<double>>(1.0);

  Dag build(CacheBackendPtr backend, const std::string& mid_version = "v1", bool source_cacheable = true) const {
    Graph graph;
    auto value = source_value;
    auto counter = source_calls;
    graph.add(make_node_function([value, counter](const DataMap&) {
                counter.calls->fetch_add(1);
                return NodeOutput{{{"o", GraphData::from_float(value->load())}}};
              }),
              "Source", std::nullopt, pairs({{"o", "x"}}));
    graph.add(unary("i", "o", [](double v) { return v >= 0 ? 7.0 : 8.0; }, mid_calls), "Mid", pairs({{"x", "i"}}),
              pairs({{"o", "y"}}));
    graph.add(unary("i", "o", [](double v) { return v + 1; }, sink_calls), "Sink",
              pairs({{"y", "i"}}), pairs({{"o", "z"}}));
    graph.set_cache_version_for("Source", "v1");
    graph.set_cache_version_for("Mid", mid_version);
    graph.set_cache_version_for("Sink", "v1");
    graph.set_cacheable_for("Source", source_cacheable);
    return std::move(graph).build_with_cache_backend(std::move(backend));
  }
};

ExecutionOptions with_depth(CacheDepth depth) {
  ExecutionOptions options;
  options.depth = depth;
  return options;
}

TEST(CachedRun, NothingIsCachedWithoutVersions) {
  Graph graph;
  graph.add(constant("o", 1), "A", std::nullopt, pairs({{"o", "x"}}));
  graph.add(constant("o", 2), "B", std::nullopt, pairs({{"o", "y"}}));
  const Dag dag = std::move(graph).build();
  const ExecutionResult result = dag.run({});
  EXPECT_EQ(result.cache_stats.misses, 2u);
  EXPECT_EQ(result.cache_stats.reason_counts[static_cast<int>(CacheMissReason::kMissingVersion)], 2u);
  EXPECT_FALSE(result.node_statuses.at(0).cache_key);
  EXPECT_EQ(dag.cache_backend()->stats().misses, 0u) << "the backend is not consulted";
}

TEST(CachedRun, SecondIdenticalRunHitsEverywhere) {
  Chain chain;
  const Dag dag = chain.build(MemoryCacheBackend::create(64, std::nullopt));
  for (bool parallel : {false, true}) {
    SCOPED_TRACE(parallel);
    const auto backend = MemoryCacheBackend::create(64, std::nullopt);
    const ExecutionResult first = dag.run({.parallel = parallel, .backend = backend});
    EXPECT_EQ(first.cache_stats.stores, 3u);
    EXPECT_EQ(reason_of(first, 2), CacheMissReason::kNotFound);
    EXPECT_TRUE(first.node_statuses.at(2).stored);
    ASSERT_TRUE(first.node_statuses.at(2).cache_key);
    EXPECT_EQ(first.node_statuses.at(2).cache_key->size(), 64u);
    const ExecutionResult second = dag.run({.parallel = parallel, .backend = backend});
    EXPECT_EQ(second.cache_stats.hits, 3u);
    EXPECT_EQ(second.cache_stats.stores, 0u);
    EXPECT_EQ(second.context.at("z").as_float(), 8.0);
    EXPECT_EQ(second.node_statuses.at(1).cache_key, first.node_statuses.at(1).cache_key);
    EXPECT_EQ(backend->stats().misses, 6u) << "a computed node costs the backend two lookups";
  }
  EXPECT_EQ(chain.mid_calls.count(), 2);
}

TEST(CachedRun, DisabledOrDepthNoneReportsDisabled) {
  Chain chain;
  const Dag dag = chain.build(MemoryCacheBackend::create(64, std::nullopt));
  ExecutionOptions off;
  off.enabled = false;
  for (const ExecutionOptions& options : {off, with_depth(CacheDepth::kNone)}) {
    const ExecutionResult result = dag.run({.cache = options});
    for (NodeId id = 0; id < 3; ++id) {
      EXPECT_EQ(reason_of(result, id), CacheMissReason::kDisabled);
      EXPECT_FALSE(result.node_statuses.at(id).cache_key);
    }
  }
  EXPECT_EQ(dag.cache_backend()->stats().entries, 0u);
}

TEST(CachedRun, ChangedInputsAndDependenciesAreClassified) {
  // Source is non-cacheable, so it runs every time and its key text stays
  // "non-cacheable:0"; Mid sees a new input, Sink sees the same input (y is 7
  // for any non-negative x) but a new upstream key.
  Chain chain;
  const auto backend = MemoryCacheBackend::create(64, std::nullopt);
  const Dag dag = chain.build(backend, "v1", /*source_cacheable=*/false);
  const ExecutionResult first = dag.run({});
  EXPECT_EQ(reason_of(first, 0), CacheMissReason::kNonCacheable);
  const ExecutionResult unchanged = dag.run({});
  EXPECT_TRUE(unchanged.node_statuses.at(1).hit) << "a non-cacheable upstream keeps downstream keys stable";

  *chain.source_value = 5.0;
  const ExecutionResult transitive = dag.run({});
  EXPECT_EQ(reason_of(transitive, 1), CacheMissReason::kInputChanged);
  EXPECT_EQ(reason_of(transitive, 2), CacheMissReason::kDependencyChanged);

  *chain.source_value = 9.0;
  const ExecutionResult shallow = dag.run({.cache = with_depth(CacheDepth::kShallow)});
  EXPECT_EQ(reason_of(shallow, 1), CacheMissReason::kInputChanged);
  *chain.source_value = 10.0;
  const ExecutionResult shallow_again =
      dag.run({.cache = with_depth(CacheDepth::kShallow)});
  EXPECT_TRUE(shallow_again.node_statuses.at(2).hit) << "shallow keys ignore upstream keys";
}

TEST(CachedRun, NewVersionReportsCodeChangedAndChangesDownstreamKeys) {
  Chain chain;
  const auto backend = MemoryCacheBackend::create(64, std::nullopt);
  const ExecutionResult first = chain.build(backend, "v1").run({});
  const ExecutionResult second = chain.build(backend, "v2").run({});
  EXPECT_TRUE(second.node_statuses.at(0).hit);
  EXPECT_EQ(reason_of(second, 1), CacheMissReason::kCodeChanged);
  EXPECT_EQ(reason_of(second, 2), CacheMissReason::kDependencyChanged);
  EXPECT_NE(second.node_statuses.at(2).cache_key, first.node_statuses.at(2).cache_key);
}

TEST(CachedRun, VectorInputsAreUnsupportedUnlessLeftOutOfTheKey) {
  for (bool restrict : {false, true}) {
    CallCounter calls;
    Graph graph;
    graph.add(make_node_function([](const DataMap&) {
                return NodeOutput{{{"v", GraphData::from_float_vec(std::vector<double>{1, 2})},
                                   {"s", GraphData::from_int(3)}}};
              }),
              "Source", std::nullopt, pairs({{"v", "vec"}, {"s", "scalar"}}));
    graph.add(constant("o", 1, calls), "Use", pairs({{"vec", "v"}, {"scalar", "s"}}), pairs({{"o", "out"}}));
    graph.set_cache_version_for("Use", "v1");
    if (restrict) graph.set_cache_key_inputs_for("Use", {"s"});
    const Dag dag = std::move(graph).build();
    dag.run({});
    const ExecutionResult again = dag.run({});
    if (restrict) {
      EXPECT_TRUE(again.node_statuses.at(1).hit);
      EXPECT_EQ(calls.count(), 1);
    } else {
      EXPECT_EQ(reason_of(again, 1), CacheMissReason::kUnsupportedInput);
      EXPECT_FALSE(again.node_statuses.at(1).cache_key);
      EXPECT_EQ(calls.count(), 2);
    }
  }
}

TEST(CachedRun, AFailedNodeIsReportedButNeverStored) {
  auto fail = std::make_shared<std::atomic<bool>>(true);
  CallCounter calls;
  Graph graph;
  graph.add(make_node_function([fail, calls](const DataMap&) {
              calls.calls->fetch_add(1);
              if (fail->load()) return NodeOutput{{}, true};
              return NodeOutput{{{"o", GraphData::from_float(1)}}};
            }),
            "Flaky", std::nullopt, pairs({{"o", "x"}}));
  graph.set_cache_version_for("Flaky", "v1");
  const Dag dag = std::move(graph).build();
  const ExecutionResult failed = dag.run({});
  EXPECT_FALSE(failed.node_statuses.at(0).stored);
  EXPECT_EQ(reason_of(failed, 0), CacheMissReason::kNotFound);
  EXPECT_EQ(failed.cache_stats.stores, 0u);
  fail->store(false);
  const ExecutionResult retried = dag.run({});
  EXPECT_FALSE(retried.node_statuses.at(0).hit) << "the failure was not served from the cache";
  EXPECT_EQ(retried.context.at("x").as_float(), 1.0);
  EXPECT_EQ(calls.count(), 2);
}

TEST(CachedConcurrency, TwoDagsOnOneBackendComputeEachKeyOnce) {
  // Both runs reach Slow at about the same time; the claim makes one wait.
  const auto backend = MemoryCacheBackend::create(64, std::nullopt);
  CallCounter calls;
  auto build = [&] {
    Graph graph;
    graph.add(make_node_function([calls](const DataMap&) {
                calls.calls->fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                return NodeOutput{{{"o", GraphData::from_float(42)}}};
              }),
              "Slow", std::nullopt, pairs({{"o", "x"}}));
    graph.set_cache_version_for("Slow", "v1");
    return std::move(graph).build_with_cache_backend(backend);
  };
  const Dag first = build();
  const Dag second = build();
  auto a = std::async(std::launch::async, [&] { return first.run({}); });
  auto b = std::async(std::launch::async, [&] { return second.run({.parallel = true}); });
  ASSERT_EQ(a.wait_for(kTimeout), std::future_status::ready);
  ASSERT_EQ(b.wait_for(kTimeout), std::future_status::ready);
  const ExecutionResult ra = a.get();
  const ExecutionResult rb = b.get();
  EXPECT_EQ(calls.count(), 1);
  EXPECT_EQ(ra.node_statuses.at(0).hit + rb.node_statuses.at(0).hit, 1);
  EXPECT_EQ(rb.context.at("x").as_float(), 42);
  EXPECT_EQ(ra.context.at("x").as_float(), 42);
}

TEST(CachedConcurrency, AReentrantRunOnItsOwnClaimDoesNotWaitForItself) {
  const auto backend = MemoryCacheBackend::create(64, std::nullopt);
  CallCounter calls;
  auto inner_dag = std::make_shared<std::shared_ptr<Dag>>();
  auto outer_dag = std::make_shared<std::shared_ptr<Dag>>();
  auto build = [&](bool reenter) {
    Graph graph;
    graph.add(make_node_function([calls, inner_dag, reenter](const DataMap&) {
                calls.calls->fetch_add(1);
                if (reenter) (*inner_dag)->run({});
                return NodeOutput{{{"o", GraphData::from_float(1)}}};
              }),
              "Node", std::nullopt, pairs({{"o", "x"}}));
    graph.set_cache_version_for("Node", "v1");
    return std::make_shared<Dag>(std::move(graph).build_with_cache_backend(backend));
  };
  *outer_dag = build(true);
  *inner_dag = build(false);  // same definition, so the same key
  auto run = std::async(std::launch::async, [&] { return (*outer_dag)->run({}); });
  ASSERT_EQ(run.wait_for(kTimeout), std::future_status::ready) << "the run waited on its own claim";
  EXPECT_EQ(run.get().context.at("x").as_float(), 1);
  EXPECT_EQ(calls.count(), 2);
  inner_dag->reset();  // the node functions hold the holder: break the cycle
  outer_dag->reset();
}

}  // namespace
}  // namespace quillon
