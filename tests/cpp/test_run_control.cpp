#include "run_control.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "builder/graph.hpp"
#include "cache/memory_backend.hpp"
#include "test_support.hpp"
#include "uncertainty/predict.hpp"

namespace quillon {
namespace {

using testing::CallCounter;
using testing::pairs;

// Stops the run at its `stop_at`-th check (never when 0) and keeps notices.
class ScriptedControl final : public RunControl {
 public:
  explicit ScriptedControl(int stop_at = 0) : stop_at_(stop_at) {}
  void check_interrupt() override {
    if (++checks == stop_at_) throw RunInterrupted(PyObjectRef());
  }
  void notice(std::string_view line) override { notices.emplace_back(line); }

  int checks = 0;
  std::vector<std::string> notices;

 private:
  int stop_at_;
};

// Sleeps, counts its calls and returns {v: 1}.
NodeFunction sleeper(std::chrono::milliseconds pause, CallCounter calls) {
  return make_node_function([pause, calls](const DataMap&) {
    calls.calls->fetch_add(1);
    std::this_thread::sleep_for(pause);
    return NodeOutput{{{"v", GraphData::from_float(1.0)}}};
  });
}

// Throws RunInterrupted on the `at`-th call (1-based), counting every call.
NodeFunction interrupting(int at, CallCounter calls) {
  return make_node_function([at, calls](const DataMap&) -> NodeOutput {
    if (calls.calls->fetch_add(1) + 1 == at) throw RunInterrupted(PyObjectRef());
    return NodeOutput{{{"v", GraphData::from_float(1.0)}}};
  });
}

// Records every call site it is called with; fails every other call.
class SiteRecorder final : public NodeCallable {
 public:
  bool call(const NamedValue*, std::size_t, OutputSink& sink, const CallSite& site) const override {
    std::lock_guard<std::mutex> lock(mu_);
    sites.push_back(site);
    if (sites.size() % 2 == 0) return false;
    if (const int slot = sink.index_for("v"); slot >= 0) sink.put(slot, GraphData::from_float(1.0));
    return true;
  }
  mutable std::mutex mu_;
  mutable std::vector<CallSite> sites;
};

TEST(RunInterrupt, AControlStopsASequentialRunBetweenNodeCalls) {
  CallCounter calls;
  Graph graph;
  for (int i = 0; i < 40; ++i) graph.add(sleeper(std::chrono::milliseconds(2), calls), "n" + std::to_string(i), {}, pairs({{"v", "v" + std::to_string(i)}}));
  const Dag dag = std::move(graph).build();
  for (const bool parallel : {false, true}) {
    calls.calls->store(0);
    ScriptedControl control(2);
    RunOptions options;
    options.parallel = parallel;
    options.max_threads = 2;
    options.cache.enabled = false;
    options.control = &control;
    EXPECT_THROW(dag.run(options), RunInterrupted) << parallel;
    EXPECT_EQ(control.checks, 2);
    // The second check comes some milliseconds of calls after the first.
    EXPECT_GT(calls.count(), 0);
    EXPECT_LT(calls.count(), 40);
  }
}

TEST(RunInterrupt, ANodeStopsTheRunAndNothingOfItIsStored) {
  CallCounter first, second, third;
  Graph graph;
  graph.add(interrupting(0, first), "a", {}, pairs({{"v", "a"}}));
  graph.add(interrupting(1, second), "b", pairs({{"a", "v"}}), pairs({{"v", "b"}}));
  graph.add(interrupting(0, third), "c", pairs({{"b", "v"}}), pairs({{"v", "c"}}));
  for (const char* label : {"a", "b", "c"}) graph.set_cache_version_for(label, "1");
  const Dag dag = std::move(graph).build();
  RunOptions options;
  EXPECT_THROW(dag.run(options), RunInterrupted);
  EXPECT_EQ(third.count(), 0);

  // The finished node stays stored, the interrupted one was not.
  options.cache.collect_node_statuses = true;
  const ExecutionResult again = dag.run(options);
  EXPECT_TRUE(again.node_statuses.at(0).hit);
  EXPECT_FALSE(again.node_statuses.at(1).hit);
  EXPECT_TRUE(again.node_statuses.at(1).stored);
  EXPECT_EQ(first.count(), 1);
  EXPECT_EQ(second.count(), 2);
  EXPECT_EQ(third.count(), 1);
}

TEST(RunInterrupt, AParallelLevelStartsNoChunkAfterTheInterrupt) {
  CallCounter stopper, others;
  Graph graph;
  graph.add(interrupting(1, stopper), "stop", {}, pairs({{"v", "s"}}));
  for (int i = 0; i < 6; ++i) graph.add(sleeper(std::chrono::milliseconds(0), others), "o" + std::to_string(i), {}, pairs({{"v", "o" + std::to_string(i)}}));
  const Dag dag = std::move(graph).build();
  RunOptions options;
  options.parallel = true;
  options.max_threads = 1;
  EXPECT_THROW(dag.run(options), RunInterrupted);
  EXPECT_EQ(others.count(), 0);
}

TEST(RunInterrupt, PropagationsStopOnAControlOrANode) {
  Graph graph;
  CallCounter calls;
  graph.add(sleeper(std::chrono::milliseconds(1), calls), "slow", pairs({{"x", "x"}}), pairs({{"v", "y"}}));
  const Dag dag = std::move(graph).build();
  const DistMap inputs{{"x", Distribution::normal(0, 1)}};
  {
    ScriptedControl control(2);
    EXPECT_THROW(predict(dag, inputs, 100000, &control), RunInterrupted);
    EXPECT_LT(calls.count(), 1000);
  }
  calls.calls->store(0);
  {
    ScriptedControl control(2);
    EXPECT_THROW(predict_at(dag, inputs, 100000, std::nullopt, &control), RunInterrupted);
    EXPECT_LT(calls.count(), 1000);
  }

  Graph stopping;
  CallCounter counted;
  stopping.add(interrupting(5, counted), "stop", pairs({{"x", "x"}}), pairs({{"v", "y"}}));
  const Dag stop_dag = std::move(stopping).build();
  EXPECT_THROW(predict(stop_dag, inputs, 100), RunInterrupted);
  EXPECT_EQ(counted.count(), 5);
}

TEST(CallSites, RunsNameTheNodeAndReportEveryFailure) {
  auto recorder = std::make_shared<SiteRecorder>();
  Graph graph;
  graph.add(recorder, "Fit", {}, pairs({{"v", "a"}}));
  graph.add(recorder, std::nullopt, {}, pairs({{"v", "b"}}));
  const Dag dag = std::move(graph).build();
  dag.run(RunOptions{});
  ASSERT_EQ(recorder->sites.size(), 2u);
  EXPECT_EQ(recorder->sites[0].id, 0u);
  EXPECT_EQ(recorder->sites[0].label, std::optional<std::string_view>("Fit"));
  EXPECT_EQ(recorder->sites[1].id, 1u);
  EXPECT_FALSE(recorder->sites[1].label);
  EXPECT_TRUE(recorder->sites[0].report && recorder->sites[1].report);
  EXPECT_EQ(describe_node(recorder->sites[0]), "node 'Fit' (id 0)");
  EXPECT_EQ(describe_node(recorder->sites[1]), "node <unlabelled> (id 1)");
}

TEST(CallSites, MonteCarloReportsThreeFailuresAndSumsUpTheRest) {
  for (const bool particles : {false, true}) {
    auto recorder = std::make_shared<SiteRecorder>();
    Graph graph;
    graph.add(recorder, "Half", pairs({{"x", "x"}}), pairs({{"v", "y"}}));
    const Dag dag = std::move(graph).build();
    ScriptedControl control;
    const DistMap inputs{{"x", Distribution::normal(0, 1)}};
    if (particles) {
      predict(dag, inputs, 2000, &control);
    } else {
      predict_at(dag, inputs, 2000, std::nullopt, &control);
    }
    ASSERT_EQ(recorder->sites.size(), 2000u);
    // Calls 2, 4 and 6 (indices 1, 3, 5) fail and are reported; no later
    // call is asked to report.
    std::size_t reported = 0;
    for (std::size_t i = 0; i < recorder->sites.size(); ++i) {
      if (recorder->sites[i].report) reported = i;
    }
    EXPECT_EQ(reported, 5u);
    EXPECT_EQ(control.notices,
              std::vector<std::string>{"quillon: node 'Half' (id 0) failed on 1,000 of 2,000 draws; the rest were not printed"});
  }
}

TEST(CallSites, FewFailuresLeaveNoSummary) {
  CallCounter calls;
  auto fails_thrice = make_node_function([calls](const DataMap&) {
    NodeOutput out;
    out.failed = calls.calls->fetch_add(1) < 3;
    return out;
  });
  Graph graph;
  graph.add(fails_thrice, "Few", pairs({{"x", "x"}}), pairs({{"v", "y"}}));
  const Dag dag = std::move(graph).build();
  ScriptedControl control;
  predict(dag, DistMap{{"x", Distribution::normal(0, 1)}}, 50, &control);
  EXPECT_TRUE(control.notices.empty());
}

}  // namespace
}  // namespace quillon
