#include "uncertainty/predict.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <span>
#include <string_view>

#include "builder/graph.hpp"
#include "distribution/dist_transfer.hpp"
#include "test_support.hpp"

namespace quillon {
namespace {

using testing::CallCounter;
using testing::constant;
using testing::pairs;
using testing::unary;

double sample_mean(const std::vector<double>& values) {
  double sum = 0;
  for (double v : values) sum += v;
  return sum / static_cast<double>(values.size());
}

std::vector<double> samples_of(const StatResult& result, const std::string& name) {
  const auto it = result.vars.find(name);
  EXPECT_NE(it, result.vars.end()) << name;
  EXPECT_EQ(it->second.kind(), DistributionKind::kEmpirical) << name;
  const Samples& samples = *it->second.samples();
  return {samples.begin(), samples.end()};
}

Dag doubling_dag(CallCounter calls = {}) {
  Graph graph;
  graph.add(unary("x", "y", [](double v) { return 2 * v; }, calls), "Double", pairs({{"x", "x"}}),
            pairs({{"y", "y"}}));
  return std::move(graph).build();
}

TEST(PredictAt, MonteCarloNeedsASampleCount) {
  const Dag dag = doubling_dag();
  const DistMap inputs{{"x", Distribution::normal(0, 1)}};
  const StatResult result = predict_at(dag, inputs, 1000, std::nullopt);
  const auto& y = samples_of(result, "y");
  EXPECT_EQ(y.size(), 1000u);
  EXPECT_NEAR(sample_mean(y), 0.0, 6 * 2.0 / std::sqrt(1000.0));
  EXPECT_FALSE(result.particles);
  EXPECT_EQ(result.vars.at("x").kind(), DistributionKind::kNormal) << "inputs are kept as given";

  try {
    predict_at(dag, inputs, std::nullopt, std::nullopt);
    FAIL() << "expected an error";
  } catch (const PropagationError& e) {
    EXPECT_STREQ(e.what(),
                 "n_samples is required for nodes without an analytical dist_transfer. Pass n_samples=N to predict_at(), "
                 "or add a dist_transfer to every node.");
  }
  EXPECT_FALSE(predict_at(dag, inputs, 0, std::nullopt).vars.contains("y"));
}

TEST(PredictAt, EveryDrawPairsFreshValuesOfEachInput) {
  // Two inputs over disjoint ranges, a count that is no multiple of any
  // batch size: every sample of y is one draw of a plus one draw of b.
  Graph graph;
  graph.add(make_node_function([](const DataMap& in) {
              return NodeOutput{{{"y", GraphData::from_float(in.at("b").as_float() - in.at("a").as_float())}}};
            }),
            "Diff", pairs({{"a", "a"}, {"b", "b"}}), pairs({{"y", "y"}}));
  const Dag dag = std::move(graph).build();
  for (std::size_t n : {1u, 255u, 257u, 601u}) {
    const StatResult result =
        predict_at(dag, {{"a", Distribution::uniform(0, 1)}, {"b", Distribution::uniform(100, 101)}}, n, std::nullopt);
    const auto& y = samples_of(result, "y");
    ASSERT_EQ(y.size(), n);
    for (double v : y) {
      EXPECT_GT(v, 99.0);
      EXPECT_LT(v, 101.0);
    }
    if (n > 1) EXPECT_NE(y.front(), y.back());
  }
}

TEST(PredictAt, MonteCarloInputsFollowTheGatheringRules) {
  // "a:b:c" has a distribution under its lookup key but input gathering
  // reads nothing for a name with two colons; two impl names writing y leave
  // one value per draw.
  auto saw_c = std::make_shared<std::atomic<bool>>(false);
  Graph graph;
  graph.add(make_node_function([saw_c](const DataMap& in) {
              if (in.contains("c")) saw_c->store(true);
              const double a = in.at("a").as_float();
              return NodeOutput{{{"o1", GraphData::from_float(a)}, {"o2", GraphData::from_float(a)}}};
            }),
            "N", pairs({{"x", "a"}, {"a:b:c", "c"}}), pairs({{"o1", "y"}, {"o2", "y"}}));
  const StatResult result = predict_at(std::move(graph).build(), {{"x", Distribution::uniform(0, 1)}, {"__branch_a__b:c", Distribution::normal(0, 1)}}, 300, std::nullopt);
  const auto& y = samples_of(result, "y");
  EXPECT_EQ(y.size(), 300u);
  for (double v : y) EXPECT_TRUE(v >= 0 && v < 1);
  EXPECT_FALSE(saw_c->load());
}

TEST(PredictAt, TransferAnswersForSomeOutputsWithoutRunningTheNode) {
  CallCounter calls;
  Graph graph;
  graph.add(constant("a", 1, calls), "T", pairs({{"x", "in"}}), pairs({{"a", "A"}, {"b", "B"}}));
  graph.set_dist_transfer_for("T", make_dist_transfer([](const DistMap& in) -> std::optional<DistMap> {
    return DistMap{{"a", Distribution::normal(in.at("in").mean() + 1, 2)}, {"ignored", Distribution::deterministic(0)}};
  }));
  const Dag dag = std::move(graph).build();
  const StatResult result = predict_at(dag, {{"x", Distribution::normal(4, 1)}}, std::nullopt, std::nullopt);
  EXPECT_EQ(result.vars.at("A").kind(), DistributionKind::kNormal);
  EXPECT_EQ(result.vars.at("A").mean(), 5);
  EXPECT_FALSE(result.vars.contains("B"));
  EXPECT_FALSE(result.vars.contains("ignored"));
  EXPECT_EQ(calls.count(), 0);
}

TEST(PredictAt, PointMassesAndSourcesAreEvaluatedOnce) {
  CallCounter calls;
  Graph graph;
  graph.add(constant("o", 3.5, calls), "Source", std::nullopt, pairs({{"o", "s"}}));
  graph.add(make_node_function([](const DataMap&) { return NodeOutput{{{"o", GraphData::from_string("t")}}}; }),
            "Text", std::nullopt, pairs({{"o", "text"}}));
  graph.add(unary("x", "y", [](double v) { return v * 10; }, calls), "Scale", pairs({{"s", "x"}}),
            pairs({{"y", "y"}}));
  graph.set_dist_transfer_for("Scale", make_dist_transfer([](const DistMap&) { return std::optional<DistMap>{}; }));
  const StatResult result = predict_at(doubling_dag(), {}, std::nullopt, std::nullopt);
  EXPECT_TRUE(result.vars.empty()) << "a node without inputs and without outputs records nothing";
  const StatResult run = predict_at(std::move(graph).build(), {}, std::nullopt, std::nullopt);
  EXPECT_EQ(run.vars.at("s").kind(), DistributionKind::kDeterministic);
  EXPECT_EQ(run.vars.at("s").mean(), 3.5);
  EXPECT_FALSE(run.vars.contains("text"));
  EXPECT_EQ(run.vars.at("y").mean(), 35);
  EXPECT_EQ(calls.count(), 2);
}

TEST(PredictAt, OnlyNumericDrawsEnterTheSamples) {
  auto flip = std::make_shared<std::atomic<int>>(0);
  Graph graph;
  graph.add(make_node_function([flip](const DataMap&) {
              if (flip->fetch_add(1) % 2) return NodeOutput{{{"o", GraphData::from_string("no")}}};
              return NodeOutput{{{"o", GraphData::from_int(1)}, {"v", GraphData::from_float_vec({1.0, 2.0})}}};
            }),
            "Mixed", pairs({{"x", "x"}}), pairs({{"o", "o"}, {"v", "v"}}));
  const StatResult result = predict_at(std::move(graph).build(), {{"x", Distribution::normal(0, 1)}}, 100, std::nullopt);
  EXPECT_EQ(samples_of(result, "o").size(), 50u);
  EXPECT_FALSE(result.vars.contains("v")) << "vectors are not carried by this engine";
}

TEST(PredictAt, BranchCopiesReportUnderQualifiedKeys) {
  Graph sub;
  sub.add(unary("x", "y", [](double v) { return v + 1; }), "Sub", pairs({{"x", "x"}}), pairs({{"y", "y"}}));
  Graph graph;
  graph.add(constant("o", 1), "Source", std::nullopt, pairs({{"o", "x"}}));
  graph.branch(Graph{});
  EXPECT_EQ(graph.branch(std::move(sub)), 2u);
  const StatResult result = predict_at(std::move(graph).build(), {}, std::nullopt, std::nullopt);
  EXPECT_EQ(result.vars.at("__branch_2__y").mean(), 2);
  EXPECT_EQ(result.for_branch(2).at("y").mean(), 2);
  // The merged subgraph node (no branch id) writes plain y as well.
  EXPECT_EQ(result.vars.at("y").mean(), 2);
  EXPECT_EQ(result.by_branch.size(), 1u);
}

TEST(PredictAt, StopsAfterTheLastTargetNode) {
  auto build = [] {
    Graph graph;
    graph.add(constant("o", 1), "Scale", std::nullopt, pairs({{"o", "a"}}));
    graph.add(constant("o", 2), "Other", std::nullopt, pairs({{"o", "b"}}));
    graph.add(unary("a", "o", [](double v) { return v; }), "Scale", pairs({{"a", "a"}}), pairs({{"o", "c"}}));
    graph.add(unary("c", "o", [](double v) { return v; }), "After", pairs({{"c", "c"}}), pairs({{"o", "d"}}));
    return std::move(graph).build();
  };
  const StatResult stopped = predict_at(build(), {}, std::nullopt, PredictTarget{PredictTarget::Node{"Scale"}});
  EXPECT_TRUE(stopped.vars.contains("c"));
  EXPECT_TRUE(stopped.vars.contains("b")) << "nodes before the target run even if it does not need them";
  EXPECT_FALSE(stopped.vars.contains("d"));
  EXPECT_TRUE(predict_at(build(), {}, std::nullopt, PredictTarget{PredictTarget::Node{"Nobody"}}).vars.contains("d"));
  EXPECT_TRUE(predict_at(build(), {}, std::nullopt, PredictTarget{PredictTarget::Variant{0}}).vars.contains("d"));
}

TEST(PredictAt, UnsampleableUniformEndsTheCall) {
  EXPECT_THROW(predict_at(doubling_dag(), {{"x", Distribution::uniform(2, 1)}}, 10, std::nullopt), DistributionError);
  EXPECT_NO_THROW(predict_at(doubling_dag(), {{"x", Distribution::uniform(2, 1)}}, 0, std::nullopt));
}

TEST(Predict, ParticlesKeepTheJointStructure) {
  CallCounter transfer_calls;
  Graph graph;
  graph.add(unary("x", "y", [](double v) { return v * v; }), "Square", pairs({{"x", "x"}}), pairs({{"y", "y"}}));
  graph.set_dist_transfer_for("Square", make_dist_transfer([transfer_calls](const DistMap&) {
    transfer_calls.calls->fetch_add(1);
    return std::optional<DistMap>{DistMap{}};
  }));
  const StatResult result = predict(std::move(graph).build(), {{"x", Distribution::normal(0, 1)}}, 1000);
  ASSERT_TRUE(result.particles);
  ASSERT_EQ(result.particles->size(), 1000u);
  for (const Particle& particle : *result.particles) EXPECT_EQ(particle.at("y"), particle.at("x") * particle.at("x"));
  EXPECT_EQ(samples_of(result, "x").size(), 1000u);
  EXPECT_EQ(samples_of(result, "y").size(), 1000u);
  EXPECT_EQ(transfer_calls.count(), 0) << "dist transfers are not used by particles";
}

TEST(Predict, VectorsTravelElementByElement) {
  CallCounter reader_calls;
  Graph graph;
  graph.add(make_node_function([](const DataMap& in) {
              const double x = in.at("x").as_float();
              return NodeOutput{{{"v", GraphData::from_float_vec({x, x + 1, x + 2})}}};
            }),
            "Vec", pairs({{"x", "x"}}), pairs({{"v", "v"}}));
  graph.add(make_node_function([reader_calls](const DataMap& in) {
              reader_calls.calls->fetch_add(1);
              const auto& v = in.at("v").as_float_vec();
              return NodeOutput{{{"n", GraphData::from_int(static_cast<std::int64_t>(v.size()))},
                                 {"s", GraphData::from_float(v[0] + v[1] + v[2])}}};
            }),
            "Read", pairs({{"v", "v"}}), pairs({{"n", "n"}, {"s", "s"}}));
  const StatResult result = predict(std::move(graph).build(), {{"x", Distribution::normal(0, 1)}}, 50);
  for (const Particle& p : *result.particles) {
    EXPECT_EQ(p.at("__veclen__v"), 3);
    EXPECT_EQ(p.at("v[2]"), p.at("x") + 2);
    EXPECT_EQ(p.at("n"), 3);
    EXPECT_NEAR(p.at("s"), 3 * p.at("x") + 3, 1e-9);
  }
  for (const char* key : {"__veclen__v", "v[0]", "v[1]", "v[2]", "v"}) EXPECT_TRUE(result.vars.contains(key)) << key;
  EXPECT_EQ(*result.vars.at("v").samples(), *result.vars.at("v[0]").samples());
  EXPECT_EQ(reader_calls.count(), 50);
}

TEST(Predict, ConstantsReachEveryParticle) {
  Graph graph;
  graph.add(constant("o", 2), "Two", std::nullopt, pairs({{"o", "two"}}));
  const Dag dag = std::move(graph).build();
  const StatResult result = predict(dag, {}, 20);
  EXPECT_EQ(*result.vars.at("two").samples(), std::vector<double>(20, 2.0));
  for (const Particle& p : *result.particles) EXPECT_EQ(p.at("two"), 2);

  const StatResult empty = predict(dag, {{"x", Distribution::normal(0, 1)}}, 0);
  EXPECT_TRUE(empty.particles->empty());
  EXPECT_TRUE(empty.vars.at("x").samples()->empty());
  EXPECT_TRUE(empty.vars.at("two").samples()->empty());
}

TEST(Predict, OutputsStayOnTheParticlesThatProducedThem) {
  Graph graph;
  graph.add(make_node_function([](const DataMap& in) {
              const double x = in.at("x").as_float();
              if (x < 0) return NodeOutput{};
              return NodeOutput{{{"r", GraphData::from_float(x * 3)}}};
            }),
            "PositiveOnly", pairs({{"x", "x"}}), pairs({{"r", "r"}}));
  const StatResult result = predict(std::move(graph).build(), {{"x", Distribution::normal(0, 1)}}, 400);
  std::size_t produced = 0;
  for (const Particle& p : *result.particles) {
    if (p.at("x") < 0) {
      EXPECT_FALSE(p.contains("r")) << "a value shifted onto a particle that produced none";
    } else {
      ++produced;
      EXPECT_EQ(p.at("r"), p.at("x") * 3);
    }
  }
  EXPECT_EQ(samples_of(result, "r").size(), produced);
}

TEST(Predict, BranchCopiesWriteOnlyQualifiedKeysIntoParticles) {
  Graph sub;
  sub.add(unary("x", "y", [](double v) { return v + 100; }), "Sub", pairs({{"x", "x"}}), pairs({{"y", "y"}}));
  Graph graph;
  graph.add(unary("x", "y", [](double v) { return v; }), "Main", pairs({{"x", "x"}}), pairs({{"y", "y"}}));
  graph.branch(std::move(sub));
  graph.add(unary("y", "z", [](double v) { return v; }), "Reader", pairs({{"y", "y"}}), pairs({{"z", "z"}}));
  Dag dag = [&] {
    // Keep only the main line and the branch copy: drop the merged subgraph
    // node, which would write plain y as the main line does.
    Dag built = std::move(graph).build();
    std::vector<Node> nodes;
    for (const Node& node : built.nodes()) {
      if (node.label != "Sub" || node.branch_id) nodes.push_back(node);
    }
    for (Node& node : nodes) {
      std::erase_if(node.dependencies, [](NodeId id) { return id == 3; });
    }
    return Dag::create(std::move(nodes), built.cache_backend());
  }();
  const StatResult result = predict(dag, {{"x", Distribution::normal(0, 1)}}, 100);
  for (const Particle& p : *result.particles) {
    EXPECT_EQ(p.at("y"), p.at("x"));
    EXPECT_EQ(p.at("__branch_1__y"), p.at("x") + 100);
    EXPECT_EQ(p.at("z"), p.at("x")) << "a main-line reader saw the branch copy's value";
  }
  EXPECT_TRUE(result.vars.contains("__branch_1__y"));
  EXPECT_EQ(result.for_branch(1).count("y"), 1u);
}

TEST(Predict, ParticlesWithNumbersAndVectorsFeedOneNode) {
  Graph graph;
  graph.add(make_node_function([](const DataMap& in) {
              const double x = in.at("x").as_float();
              if (x > 0) return NodeOutput{{{"v", GraphData::from_float_vec({x, x})}}};
              return NodeOutput{{{"v", GraphData::from_float(x)}}};
            }),
            "Either", pairs({{"x", "x"}}), pairs({{"v", "v"}}));
  // Two impl names write one broadcast name: each particle gets one value.
  graph.add(make_node_function([](const DataMap& in) {
              const GraphData& v = in.at("in");
              const double seen = v.kind() == DataKind::kFloatVec ? static_cast<double>(v.as_float_vec().size())
                                                                   : v.as_float() * 10;
              return NodeOutput{{{"a", GraphData::from_float(seen)}, {"b", GraphData::from_float(seen)}}};
            }),
            "Read", pairs({{"v", "in"}}), pairs({{"a", "out"}, {"b", "out"}}));
  const std::size_t n = 200;
  const StatResult result = predict(std::move(graph).build(), {{"x", Distribution::normal(0, 1)}}, n);
  EXPECT_EQ(result.vars.at("out").samples()->size(), n);
  std::size_t vectors = 0;
  for (const Particle& p : *result.particles) {
    if (p.at("x") > 0) {
      ++vectors;
      EXPECT_EQ(p.at("out"), 2.0);
    } else {
      EXPECT_EQ(p.at("out"), p.at("x") * 10);
    }
  }
  EXPECT_GT(vectors, 0u);
  EXPECT_LT(vectors, n);
}

TEST(Predict, AnImpossibleVectorLengthFailsInAnOrderlyWay) {
  Graph graph;
  graph.add(make_node_function([](const DataMap&) { return NodeOutput{}; }), "Read", pairs({{"v", "v"}, {"w", "w"}}));
  const Dag dag = std::move(graph).build();
  EXPECT_THROW(predict(dag, {{"__veclen__v", Distribution::deterministic(1e300)}, {"w", Distribution::normal(0, 1)}}, 2),
               PropagationError);
  const StatResult nan_length =
      predict(dag, {{"__veclen__v", Distribution::deterministic(std::nan(""))}, {"w", Distribution::normal(0, 1)}}, 2);
  EXPECT_EQ(nan_length.particles->size(), 2u);
}

TEST(Seeds, SeededPropagationsRepeatExactlyAndLongerRunsExtendShorterOnes) {
  Graph graph;
  graph.add(unary("x", "y", [](double v) { return 3 * v + 1; }), "Lin", pairs({{"x", "x"}}), pairs({{"y", "y"}}));
  const Dag dag = std::move(graph).build();
  const DistMap inputs{{"x", Distribution::gamma(2.0, 1.5)}};
  const StatResult first = predict_at(dag, inputs, 600, std::nullopt, nullptr, 42);
  const StatResult again = predict_at(dag, inputs, 600, std::nullopt, nullptr, 42);
  const StatResult shorter = predict_at(dag, inputs, 300, std::nullopt, nullptr, 42);
  const std::vector<double>& all = samples_of(first, "y");
  EXPECT_EQ(all, samples_of(again, "y"));
  EXPECT_EQ(std::vector<double>(all.begin(), all.begin() + 300), samples_of(shorter, "y"));
  EXPECT_NE(all, samples_of(predict_at(dag, inputs, 600, std::nullopt, nullptr, 43), "y"));

  const StatResult particles = predict(dag, inputs, 400, nullptr, 42);
  EXPECT_EQ(samples_of(particles, "y"), samples_of(predict(dag, inputs, 400, nullptr, 42), "y"));
  EXPECT_NE(samples_of(particles, "y"), samples_of(predict(dag, inputs, 400, nullptr, 7), "y"));
}

TEST(Seeds, StreamsOfDifferentPathsDiffer) {
  Rng a = Rng::for_stream(1, {kInputStream, Rng::key_of("x")});
  Rng b = Rng::for_stream(1, {kInputStream, Rng::key_of("y")});
  Rng c = Rng::for_stream(2, {kInputStream, Rng::key_of("x")});
  Rng a2 = Rng::for_stream(1, {kInputStream, Rng::key_of("x")});
  const std::uint64_t first = a.next_u64();
  EXPECT_EQ(first, a2.next_u64());
  EXPECT_NE(first, b.next_u64());
  EXPECT_NE(first, c.next_u64());
  EXPECT_NE(Rng::for_stream(1, {kBlockStream, 0, 1}).next_u64(), Rng::for_stream(1, {kBlockStream, 1, 0}).next_u64());
}

// y = 2x + 1 one draw at a time and a block at a time. The block call
// records each block's length and whether its input came with an owner, and
// refuses the blocks `refuse` picks; it may keep the owners it was lent.
class AffineBlocks final : public NodeCallable {
 public:
  struct Log {
    std::vector<std::size_t> lengths;
    std::vector<bool> owned;
    std::vector<std::pair<std::shared_ptr<const void>, std::span<const double>>> kept;
  };
  AffineBlocks(std::shared_ptr<Log> log, std::function<bool(std::size_t)> refuse = {}, bool keep = false)
      : log_(std::move(log)), refuse_(std::move(refuse)), keep_(keep) {}

  bool call(const NamedValue* inputs, std::size_t count, OutputSink& sink, const CallSite&) const override {
    for (std::size_t i = 0; i < count; ++i) {
      if (inputs[i].name != "x") continue;
      const int index = sink.index_for("y");
      if (index >= 0) sink.put(index, GraphData::from_float(2 * inputs[i].value->as_float() + 1));
      return true;
    }
    return false;
  }
  std::optional<std::string> call_block(const BlockInput* inputs, std::size_t count, std::size_t length,
                                        BlockSink& sink, const CallSite&) const override {
    const std::size_t call = log_->lengths.size();
    log_->lengths.push_back(length);
    if (refuse_ && refuse_(call)) return "refused block " + std::to_string(call);
    for (std::size_t i = 0; i < count; ++i) {
      if (inputs[i].name != "x") continue;
      log_->owned.push_back(inputs[i].owner != nullptr);
      if (keep_ && inputs[i].owner) log_->kept.emplace_back(inputs[i].owner, inputs[i].values);
      std::vector<double> y(length);
      for (std::size_t k = 0; k < length; ++k) y[k] = 2 * inputs[i].values[k] + 1;
      sink.put_column(sink.index_for("y"), make_samples(std::move(y)));
      sink.put_number(sink.index_for("c"), 7);
      return std::nullopt;
    }
    return "no x";
  }

 private:
  std::shared_ptr<Log> log_;
  std::function<bool(std::size_t)> refuse_;
  bool keep_;
};

class WarningsSeen final : public RunControl {
 public:
  void check_interrupt() override {}
  void notice(std::string_view) override {}
  void warn(std::string_view message) override { warnings.emplace_back(message); }
  std::vector<std::string> warnings;
};

// x -> Sqrt (fails on negative x, one draw at a time) -> Affine.
Dag affine_dag(const std::shared_ptr<AffineBlocks::Log>& log, bool vectorized,
               std::function<bool(std::size_t)> refuse = {}, bool keep = false, bool with_sqrt = false) {
  Graph graph;
  std::string source = "x";
  if (with_sqrt) {
    graph.add(make_node_function([](const DataMap& in) {
                const double x = in.at("x").as_float();
                if (x < 0) return NodeOutput{{}, true};
                return NodeOutput{{{"r", GraphData::from_float(std::sqrt(x))}}};
              }),
              "Sqrt", pairs({{"x", "x"}}), pairs({{"r", "r"}}));
    source = "r";
  }
  graph.add(std::make_shared<const AffineBlocks>(log, std::move(refuse), keep), "Affine", pairs({{source, "x"}}),
            pairs({{"y", "y"}, {"c", "c"}}));
  if (vectorized) graph.set_vectorized_for("Affine", true);
  return std::move(graph).build();
}

TEST(Vectorized, BlocksGiveThePerDrawResultsForAnyBlockSize) {
  const DistMap inputs{{"x", Distribution::normal(0, 1)}};
  auto plain_log = std::make_shared<AffineBlocks::Log>();
  const Dag plain = affine_dag(plain_log, false);
  const StatResult at_plain = predict_at(plain, inputs, 1000, std::nullopt, nullptr, 11);
  const StatResult particles_plain = predict(plain, inputs, 1000, nullptr, 11);
  EXPECT_TRUE(plain_log->lengths.empty()) << "an unmarked node takes no blocks";
  for (std::optional<std::size_t> block : {std::optional<std::size_t>{1}, std::optional<std::size_t>{300},
                                           std::optional<std::size_t>{256}, std::optional<std::size_t>{}}) {
    auto log = std::make_shared<AffineBlocks::Log>();
    const Dag dag = affine_dag(log, true);
    const StatResult at = predict_at(dag, inputs, 1000, std::nullopt, nullptr, 11, block);
    EXPECT_EQ(samples_of(at, "y"), samples_of(at_plain, "y"));
    const std::size_t calls = log->lengths.size();
    EXPECT_EQ(calls, block ? (1000 + *block - 1) / *block : 1u);
    const StatResult particles = predict(dag, inputs, 1000, nullptr, 11, block);
    EXPECT_EQ(samples_of(particles, "y"), samples_of(particles_plain, "y"));
    EXPECT_EQ(samples_of(particles, "c"), std::vector<double>(1000, 7.0)) << "a number holds for every draw";
    EXPECT_EQ(log->lengths.size() - calls, calls);
    for (bool owned : log->owned) EXPECT_TRUE(owned) << "drawn blocks and whole columns are lent";
  }
}

TEST(Vectorized, RefusedBlocksAreEvaluatedPerDrawWithOneWarning) {
  const DistMap inputs{{"x", Distribution::uniform(0, 1)}};
  auto plain_log = std::make_shared<AffineBlocks::Log>();
  const StatResult expected = predict(affine_dag(plain_log, false), inputs, 500, nullptr, 3);
  auto log = std::make_shared<AffineBlocks::Log>();
  const Dag dag = affine_dag(log, true, [](std::size_t call) { return call % 2 == 1; });
  WarningsSeen control;
  const StatResult got = predict(dag, inputs, 500, &control, 3, 100);
  EXPECT_EQ(samples_of(got, "y"), samples_of(expected, "y"));
  EXPECT_EQ(log->lengths, (std::vector<std::size_t>{100, 100, 100, 100, 100}));
  ASSERT_EQ(control.warnings.size(), 1u);
  EXPECT_EQ(control.warnings[0],
            "quillon: node 'Affine' (id 0) did not take a block of 100 draws (refused block 1); blocks it does not take "
            "are evaluated one draw at a time");
  // The refused blocks' outputs are exactly the per-draw ones: c is only
  // offered by the block calls, so it is missing on the refused particles.
  const auto* c = got.particles->find("c");
  ASSERT_NE(c, nullptr);
  for (std::size_t i = 0; i < 500; ++i) EXPECT_EQ(c->has(i), (i / 100) % 2 == 0) << i;
}

TEST(Vectorized, ParticlesMissingAnInputAreCalledOneAtATime) {
  const DistMap inputs{{"x", Distribution::normal(0, 1)}};
  auto plain_log = std::make_shared<AffineBlocks::Log>();
  const StatResult expected = predict(affine_dag(plain_log, false, {}, false, true), inputs, 400, nullptr, 5);
  auto log = std::make_shared<AffineBlocks::Log>();
  const StatResult got = predict(affine_dag(log, true, {}, false, true), inputs, 400, nullptr, 5, 150);
  const auto* x = got.particles->find("x");
  const auto* y = got.particles->find("y");
  ASSERT_NE(y, nullptr);
  std::vector<std::size_t> complete(3, 0);
  for (std::size_t i = 0; i < 400; ++i) {
    const bool has = x->at(i) >= 0;
    EXPECT_EQ(y->has(i), has) << i;
    if (has) {
      EXPECT_EQ(y->at(i), 2 * std::sqrt(x->at(i)) + 1) << i;
      ++complete[i / 150];
    }
  }
  EXPECT_EQ(log->lengths, complete) << "each block call gets the particles that have the input";
  EXPECT_EQ(samples_of(got, "y"), samples_of(expected, "y"));
}

TEST(Vectorized, BlocksKeptByTheFunctionStayIntact) {
  const DistMap inputs{{"x", Distribution::normal(0, 1)}};
  auto log = std::make_shared<AffineBlocks::Log>();
  const Dag dag = affine_dag(log, true, {}, true);
  const StatResult at = predict_at(dag, inputs, 1000, std::nullopt, nullptr, 9, 256);
  ASSERT_EQ(log->kept.size(), 4u);
  // Each kept block still holds the draws it was lent: the next block was
  // drawn into new memory.
  const auto& y = samples_of(at, "y");
  for (std::size_t b = 0; b < 4; ++b) {
    const std::span<const double> block = log->kept[b].second;
    ASSERT_EQ(block.size(), std::min<std::size_t>(256, 1000 - b * 256));
    for (std::size_t k = 0; k < block.size(); ++k) EXPECT_EQ(2 * block[k] + 1, y[b * 256 + k]);
  }
}

}  // namespace
}  // namespace quillon
