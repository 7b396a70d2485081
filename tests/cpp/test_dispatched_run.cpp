// Runs whose node calls go through a CallDispatcher. The fake dispatcher here
// makes every call on the run's thread when it is submitted, and hands the
// endings back later in an order of its own (newest first, or shuffled, a
// few at a time), so that a run which relied on the completion order, or
// which read a value from the wrong writer, differs from a sequential run.
#include "dag/dag.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "builder/graph.hpp"
#include "cache/memory_backend.hpp"
#include "dispatch.hpp"
#include "run_control.hpp"
#include "test_support.hpp"

namespace quillon {
namespace {

using testing::pairs;

constexpr auto kTimeout = std::chrono::seconds(20);

// Collects a call's outputs by impl name.
class Recorder final : public OutputSink {
 public:
  int index_for(std::string_view impl_name) override {
    names.emplace_back(impl_name);
    values.emplace_back();
    return static_cast<int>(names.size() - 1);
  }
  void put(int index, GraphData&& value) override { values[static_cast<std::size_t>(index)] = std::move(value); }

  std::vector<std::string> names;
  std::vector<GraphData> values;
};

class FakeDispatcher final : public CallDispatcher {
 public:
  enum class Order { kNewestFirst, kShuffled };

  FakeDispatcher(Order order, std::uint32_t seed) : order_(order), rng_(seed) {}

  // Tickets for which submit answers false: the run makes those calls itself.
  std::vector<Ticket> refused;
  // wait() throws RunInterrupted on this call (1-based); 0: never.
  int interrupt_at_wait = 0;

  int submitted = 0;
  int abandoned = 0;
  std::size_t max_in_flight = 0;

  bool submit(Ticket ticket, const NodeCallable& function, const CallSite& site,
              std::span<const std::span<const NamedValue>> calls) override {
    if (std::find(refused.begin(), refused.end(), ticket) != refused.end()) return false;
    EXPECT_FALSE(tasks_.contains(ticket)) << "ticket " << ticket << " still in use";
    Task& task = tasks_[ticket];
    for (std::span<const NamedValue> inputs : calls) {
      Outcome outcome;
      outcome.succeeded = function.call(inputs.data(), inputs.size(), outcome.outputs, site);
      outcome.failure = take_call_failure();
      task.outcomes.push_back(std::move(outcome));
    }
    pending_.push_back(ticket);
    ++submitted;
    max_in_flight = std::max(max_in_flight, pending_.size());
    return true;
  }

  void wait(std::chrono::milliseconds /*timeout*/, std::vector<Ticket>& ended) override {
    if (interrupt_at_wait != 0 && ++waits_ == interrupt_at_wait) throw RunInterrupted(PyObjectRef());
    if (pending_.empty()) return;
    if (order_ == Order::kNewestFirst) {
      ended.push_back(pending_.back());
      pending_.pop_back();
      return;
    }
    std::shuffle(pending_.begin(), pending_.end(), rng_);
    const std::size_t count = 1 + rng_() % pending_.size();
    ended.insert(ended.end(), pending_.end() - static_cast<std::ptrdiff_t>(count), pending_.end());
    pending_.resize(pending_.size() - count);
  }

  bool take(Ticket ticket, std::size_t index, OutputSink& sink, const CallSite& /*site*/) override {
    Outcome& outcome = tasks_.at(ticket).outcomes.at(index);
    if (!outcome.succeeded) {
      if (outcome.failure) note_call_failure(*outcome.failure);
      return false;
    }
    for (std::size_t k = 0; k < outcome.outputs.names.size(); ++k) {
      const int slot = sink.index_for(outcome.outputs.names[k]);
      if (slot >= 0) sink.put(slot, GraphData(outcome.outputs.values[k]));
    }
    return true;
  }

  void release(Ticket ticket) noexcept override { tasks_.erase(ticket); }

  void abandon() noexcept override {
    ++abandoned;
    tasks_.clear();
    pending_.clear();
  }

  bool idle() const { return tasks_.empty() && pending_.empty(); }

 private:
  struct Outcome {
    bool succeeded = false;
    Recorder outputs;
    std::optional<std::string> failure;
  };
  struct Task {
    std::vector<Outcome> outcomes;
  };

  Order order_;
  std::mt19937 rng_;
  int waits_ = 0;
  std::unordered_map<Ticket, Task> tasks_;
  std::vector<Ticket> pending_;
};

// --- What a run returns, comparably -----------------------------------------

std::string text_of(const GraphData& value) {
  switch (value.kind()) {
    case DataKind::kFloat:
      return "f" + std::to_string(value.as_float());
    case DataKind::kString:
      return "s" + value.as_string();
    case DataKind::kInt:
      return "i" + std::to_string(value.as_int());
    default:
      return "kind" + std::to_string(static_cast<int>(value.kind()));
  }
}

struct Report {
  std::map<std::string, std::string> context;
  std::map<NodeId, std::string> statuses;
  std::map<NodeId, std::pair<bool, std::optional<std::string>>> runs;
  std::string stats;

  bool operator==(const Report&) const = default;
};

Report report_of(const ExecutionResult& result) {
  Report report;
  result.context.for_each([&](std::string_view key, const GraphData& value) {
    report.context.emplace(std::string(key), text_of(value));
  });
  for (const auto& [id, status] : result.node_statuses) {
    report.statuses.emplace(id, std::string(status.hit ? "hit " : "miss ") + (status.stored ? "stored " : "") +
                                    (status.reason ? std::to_string(static_cast<int>(*status.reason)) : "-") + " " +
                                    status.cache_key.value_or("no key"));
  }
  for (const auto& [id, run] : result.node_runs) report.runs.emplace(id, std::make_pair(run.failed, run.error));
  const CacheRunStats& stats = result.cache_stats;
  report.stats = std::to_string(stats.hits) + "/" + std::to_string(stats.misses) + "/" + std::to_string(stats.stores);
  for (std::uint64_t count : stats.reason_counts) report.stats += "," + std::to_string(count);
  return report;
}

void PrintTo(const Report& report, std::ostream* out) {
  for (const auto& [key, value] : report.context) *out << key << "=" << value << " ";
  *out << "| " << report.stats << " |";
  for (const auto& [id, status] : report.statuses) *out << " " << id << ":" << status;
  for (const auto& [id, run] : report.runs) *out << " " << id << (run.first ? ":failed" : ":ok");
}

// --- Random graphs ------------------------------------------------------------

// o1: a value depending on every input present (and on which are absent);
// o2: how many inputs were present.
NodeFunction combine() {
  return make_node_function([](const DataMap& inputs) {
    std::map<std::string, double> sorted;
    for (const auto& [name, value] : inputs) sorted.emplace(name, value.as_f64_lossy().value_or(0.5));
    double total = 0.0;
    for (const auto& [name, value] : sorted) total = total * 1.5 + value + static_cast<double>(name.size());
    return NodeOutput{{{"o1", GraphData::from_float(total + 1.0)},
                       {"o2", GraphData::from_float(static_cast<double>(inputs.size()))}}};
  });
}

// Produces o1 only.
NodeFunction partial() {
  return make_node_function([](const DataMap& inputs) {
    return NodeOutput{{{"o1", GraphData::from_float(static_cast<double>(inputs.size()) + 0.25)}}};
  });
}

// Fails when the inputs add up to more than 3.
NodeFunction fails_when_big() {
  return make_node_function([](const DataMap& inputs) {
    double total = 0.0;
    for (const auto& [name, value] : inputs) total += value.as_f64_lossy().value_or(0.0);
    if (total > 3.0) {
      note_call_failure("too big");
      return NodeOutput{{}, true};
    }
    return NodeOutput{{{"o1", GraphData::from_float(total * 2.0)}, {"o2", GraphData::from_float(total - 1.0)}}};
  });
}

struct RandomGraph {
  Dag dag;
  DataMap inputs;
};

// 3-16 nodes over a few keys: several writers of one key, nodes reading the
// key they write, failing nodes, cached and uncached nodes. A candidate
// node that would close a cycle (a reader depends on every other writer of
// what it reads) is drawn again.
RandomGraph random_graph(std::uint32_t seed, CacheBackendPtr backend) {
  std::mt19937 rng(seed);
  auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  std::vector<std::string> keys;
  for (std::size_t i = 0, n = 3 + below(6); i < n; ++i) keys.push_back("k" + std::to_string(i));
  DataMap inputs;
  for (std::size_t i = 0, n = below(3); i < n; ++i) {
    inputs.insert_or_assign(keys[below(keys.size())], GraphData::from_float(0.5 * static_cast<double>(below(4))));
  }
  std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> shapes;
  auto closes_cycle = [&] {
    const std::size_t n = shapes.size();
    std::vector<std::vector<std::size_t>> edges(n);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) {
        if (i == j) continue;
        for (const std::string& key : shapes[i].first) {
          if (std::count(shapes[j].second.begin(), shapes[j].second.end(), key) != 0) {
            edges[i].push_back(j);
            break;
          }
        }
      }
    }
    std::vector<int> state(n, 0);
    std::function<bool(std::size_t)> visit = [&](std::size_t i) {
      state[i] = 1;
      for (std::size_t j : edges[i]) {
        if (state[j] == 1 || (state[j] == 0 && visit(j))) return true;
      }
      state[i] = 2;
      return false;
    };
    for (std::size_t i = 0; i < n; ++i) {
      if (state[i] == 0 && visit(i)) return true;
    }
    return false;
  };

  Graph graph;
  const std::size_t count = 3 + below(14);
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<std::string> reads, writes;
    do {
      reads.clear();
      writes.clear();
      for (std::size_t r = 0, n = below(4); r < n; ++r) {
        const std::string& key = keys[below(keys.size())];
        if (std::count(reads.begin(), reads.end(), key) == 0) reads.push_back(key);
      }
      writes.push_back(keys[below(keys.size())]);
      if (below(10) < 6) writes.push_back(keys[below(keys.size())]);
      shapes.emplace_back(reads, writes);
      const bool cycle = closes_cycle();
      shapes.pop_back();
      if (!cycle) break;
    } while (true);
    shapes.emplace_back(reads, writes);
    NamePairs input_pairs;
    for (const std::string& key : reads) input_pairs.emplace_back(key, key);
    NamePairs output_pairs{{"o1", writes[0]}};
    if (writes.size() > 1) output_pairs.emplace_back("o2", writes[1]);
    const std::size_t kind = below(10);
    NodeFunction function = kind < 6 ? combine() : kind < 8 ? partial() : fails_when_big();
    const std::string label = "n" + std::to_string(i);
    graph.add(std::move(function), label, input_pairs.empty() ? std::nullopt : std::optional<NamePairs>(input_pairs),
              output_pairs);
    if (below(10) < 6) graph.set_cache_version_for(label, below(2) == 0 ? "1" : "2");
  }
  RandomGraph made{std::move(graph).build_with_cache_backend(std::move(backend)), std::move(inputs)};
  EXPECT_TRUE(made.dag.unplaced_positions().empty());
  return made;
}

CacheBackendPtr fresh_backend() { return MemoryCacheBackend::create(1024, std::nullopt); }

RunOptions options_for(const RandomGraph& graph, CallDispatcher* dispatcher) {
  RunOptions options;
  options.inputs = &graph.inputs;
  options.collect_node_runs = true;
  options.dispatcher = dispatcher;
  return options;
}

class DispatchedRun : public ::testing::TestWithParam<FakeDispatcher::Order> {};

TEST_P(DispatchedRun, ReportsWhatASequentialRunReports) {
  for (std::uint32_t seed = 0; seed < 60; ++seed) {
    SCOPED_TRACE(seed);
    const RandomGraph local = random_graph(seed, fresh_backend());
    const RandomGraph remote = random_graph(seed, fresh_backend());
    FakeDispatcher dispatcher(GetParam(), seed);
    for (int attempt = 0; attempt < 2; ++attempt) {  // cold, then warm
      SCOPED_TRACE(attempt);
      const Report expected = report_of(local.dag.run(options_for(local, nullptr)));
      const Report got = report_of(remote.dag.run(options_for(remote, &dispatcher)));
      EXPECT_EQ(got, expected);
      EXPECT_TRUE(dispatcher.idle());
    }
  }
}

TEST_P(DispatchedRun, CallsTheDispatcherRefusesAreMadeHere) {
  for (std::uint32_t seed = 100; seed < 130; ++seed) {
    SCOPED_TRACE(seed);
    const RandomGraph local = random_graph(seed, fresh_backend());
    const RandomGraph remote = random_graph(seed, fresh_backend());
    FakeDispatcher dispatcher(GetParam(), seed);
    dispatcher.refused = {0, 2, 3, 5, 7};
    const Report expected = report_of(local.dag.run(options_for(local, nullptr)));
    EXPECT_EQ(report_of(remote.dag.run(options_for(remote, &dispatcher))), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, DispatchedRun,
                         ::testing::Values(FakeDispatcher::Order::kNewestFirst, FakeDispatcher::Order::kShuffled),
                         [](const auto& info) {
                           return info.param == FakeDispatcher::Order::kNewestFirst ? "NewestFirst" : "Shuffled";
                         });

TEST(DispatchedRunShape, IndependentNodesAreInFlightTogether) {
  Graph graph;
  for (int i = 0; i < 5; ++i) {
    graph.add(testing::constant("v", static_cast<double>(i)), "n" + std::to_string(i), std::nullopt,
              pairs({{"v", "v" + std::to_string(i)}}));
  }
  graph.add(combine(), "join", pairs({{"v0", "a"}, {"v4", "b"}}), pairs({{"o1", "joined"}}));
  const Dag dag = std::move(graph).build_with_cache_backend(fresh_backend());
  FakeDispatcher dispatcher(FakeDispatcher::Order::kNewestFirst, 1);
  const ExecutionResult result = dag.run({.dispatcher = &dispatcher});
  EXPECT_EQ(dispatcher.submitted, 6);
  EXPECT_EQ(dispatcher.max_in_flight, 5u);  // not one node at a time
  EXPECT_TRUE(result.context.contains("joined"));
}

TEST(DispatchedRunShape, AnInterruptAbandonsTheTasksAndFreesTheClaims) {
  testing::CallCounter calls;
  Graph graph;
  for (int i = 0; i < 4; ++i) {
    const std::string label = "n" + std::to_string(i);
    graph.add(testing::constant("v", static_cast<double>(i), calls), label, std::nullopt,
              pairs({{"v", "v" + std::to_string(i)}}));
    graph.set_cache_version_for(label, "1");
  }
  const Dag dag = std::move(graph).build_with_cache_backend(fresh_backend());
  FakeDispatcher dispatcher(FakeDispatcher::Order::kNewestFirst, 1);
  dispatcher.interrupt_at_wait = 2;
  EXPECT_THROW(dag.run({.dispatcher = &dispatcher}), RunInterrupted);
  EXPECT_EQ(dispatcher.abandoned, 1);
  EXPECT_TRUE(dispatcher.idle());
  // The claims of the stopped run are gone: a new run neither waits for
  // them nor finds anything of the calls whose endings were never taken.
  auto second = std::async(std::launch::async, [&] { return dag.run({}); });
  ASSERT_EQ(second.wait_for(kTimeout), std::future_status::ready);
  const ExecutionResult result = second.get();
  EXPECT_EQ(result.cache_stats.hits, 1u);  // the one ending taken before the interrupt
  EXPECT_EQ(result.cache_stats.misses, 3u);
}

TEST(DispatchedRunShape, WaitsForAnotherRunsClaimAndTakesItsResult) {
  // A sequential run on another thread holds the node's claim while its call
  // blocks; the dispatched run parks the node, and once the claim ends,
  // serves it from the cache.
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  testing::CallCounter calls;
  auto blocking = make_node_function([&, released, calls](const DataMap&) {
    if (calls.calls->fetch_add(1) == 0) {
      entered.set_value();
      released.wait_for(kTimeout);
    }
    return NodeOutput{{{"v", GraphData::from_float(4.0)}}};
  });
  Graph graph;
  graph.add(blocking, "slow", std::nullopt, pairs({{"v", "v"}}));
  graph.set_cache_version_for("slow", "1");
  const Dag dag = std::move(graph).build_with_cache_backend(fresh_backend());

  auto holder = std::async(std::launch::async, [&] { return dag.run({}); });
  ASSERT_EQ(entered.get_future().wait_for(kTimeout), std::future_status::ready);
  FakeDispatcher dispatcher(FakeDispatcher::Order::kNewestFirst, 1);
  auto dispatched = std::async(std::launch::async, [&] { return dag.run({.dispatcher = &dispatcher}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // parked on the claim by now
  release.set_value();
  ASSERT_EQ(holder.wait_for(kTimeout), std::future_status::ready);
  ASSERT_EQ(dispatched.wait_for(kTimeout), std::future_status::ready);
  const ExecutionResult result = dispatched.get();
  EXPECT_EQ(calls.count(), 1);
  EXPECT_EQ(dispatcher.submitted, 0);
  EXPECT_EQ(result.cache_stats.hits, 1u);
  EXPECT_EQ(text_of(result.context.at("v")), "f4.000000");
}

}  // namespace
}  // namespace quillon
