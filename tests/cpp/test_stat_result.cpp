// StatResult: lookups, key listing without internal keys, per-branch and
// per-variant views, and the summary written to file descriptor 1.
#include "stat_result/stat_result.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace quillon {
namespace {

// Runs `fn` with file descriptor 1 pointing at a temporary file and returns
// what was written there.
template <typename Fn>
std::string capture_fd1(Fn fn) {
  std::fflush(stdout);
  std::FILE* tmp = std::tmpfile();
  const int saved = ::dup(1);
  ::dup2(::fileno(tmp), 1);
  try {
    fn();
  } catch (...) {
    ::dup2(saved, 1);
    ::close(saved);
    std::fclose(tmp);
    throw;
  }
  ::dup2(saved, 1);
  ::close(saved);
  std::string out;
  std::rewind(tmp);
  char buf[512];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof(buf), tmp)) > 0;) out.append(buf, n);
  std::fclose(tmp);
  return out;
}

StatResult sample_result() {
  StatResult r = StatResult::create();
  r.vars.emplace("y", Distribution::deterministic(2));
  r.vars.emplace("__branch_1__y", Distribution::empirical({1, 2, 3}));
  r.vars.emplace("x", Distribution::empirical({4, 5, 6}));
  return r;
}

TEST(StatResult, NewResultIsEmptyWithoutParticles) {
  const StatResult r = StatResult::create();
  EXPECT_TRUE(r.vars.empty());
  EXPECT_TRUE(r.by_node.empty() && r.by_branch.empty() && r.by_variant.empty());
  EXPECT_FALSE(r.particles.has_value());
  EXPECT_TRUE(r.keys().empty());
  EXPECT_EQ(capture_fd1([&] { r.print_summary(); }), "");
}

TEST(StatResult, GetFindsInternalKeysAndSharesSamples) {
  const StatResult r = sample_result();
  const std::optional<Distribution> branch = r.get("__branch_1__y");
  ASSERT_TRUE(branch.has_value());
  EXPECT_EQ(branch->to_string(), "Empirical(n=3, μ≈2.0000)");
  EXPECT_EQ(branch->samples().get(), r.vars.at("__branch_1__y").samples().get());
  EXPECT_FALSE(r.get("missing").has_value());
  EXPECT_FALSE(r.get("").has_value());
}

TEST(StatResult, KeysLeaveOutInternalAndSortByBytes) {
  StatResult r = sample_result();
  EXPECT_EQ(r.keys(), (std::vector<std::string>{"x", "y"}));
  for (const char* key : {"__branchX", "__branch_", "__branch_2__z", "Z", "é", "a b", "_"}) {
    r.vars.emplace(key, Distribution::deterministic(0));
  }
  // "__branchX" lacks the underscore after "branch" and is an ordinary key;
  // "é" (0xC3 0xA9) sorts after every ASCII key.
  EXPECT_EQ(r.keys(), (std::vector<std::string>{"Z", "_", "__branchX", "a b", "x", "y", "é"}));
  EXPECT_TRUE(is_internal_key("__branch_"));
  EXPECT_FALSE(is_internal_key("__branch"));
  EXPECT_FALSE(is_internal_key("x__branch_"));
}

TEST(StatResult, BranchAndVariantViewsAreCopies) {
  StatResult r = StatResult::create();
  r.by_branch[1].emplace("y", Distribution::normal(0, 1));
  r.by_variant[0].emplace("out", Distribution::gamma(2, 1));
  r.by_node[3].emplace("out", Distribution::gamma(2, 1));
  DistMap branch = r.for_branch(1);
  ASSERT_EQ(branch.size(), 1u);
  EXPECT_EQ(branch.at("y").to_string(), "Normal(μ=0, σ=1)");
  branch.clear();
  EXPECT_EQ(r.by_branch.at(1).size(), 1u);
  EXPECT_EQ(r.for_variant(0).at("out").to_string(), "Gamma(k=2, λ=1)");
  EXPECT_TRUE(r.for_branch(99).empty());
  EXPECT_TRUE(r.for_variant(7).empty());
}

TEST(StatResult, PrintSummaryWritesSortedLinesToFd1) {
  const StatResult r = sample_result();
  const std::string expected =
      "  x: mean=5.0000  std=1.0000  [p5=4.0000, p50=5.0000, p95=6.0000]\n"
      "  y: mean=2.0000  std=0.0000  [p5=2.0000, p50=2.0000, p95=2.0000]\n";
  EXPECT_EQ(r.summary_text(), expected);
  EXPECT_EQ(capture_fd1([&] { r.print_summary(); }), expected);
  // Parametric entries print fresh percentiles; the line shape stays.
  StatResult p = StatResult::create();
  p.vars.emplace("n", Distribution::normal(10, 0));
  EXPECT_EQ(p.summary_text(), "  n: mean=10.0000  std=0.0000  [p5=10.0000, p50=10.0000, p95=10.0000]\n");
}

TEST(StatResult, UnsampleableEntryFailsWithoutPartialOutput) {
  StatResult r = sample_result();
  r.vars.emplace("z", Distribution::uniform(1, 1));
  std::string written = "unset";
  try {
    written = capture_fd1([&] { r.print_summary(); });
    ADD_FAILURE() << "no error";
  } catch (const DistributionError& e) {
    EXPECT_STREQ(e.what(), "Uniform::new called with `low >= high`");
  }
  EXPECT_EQ(written, "unset");
  // An internal entry is never summarised, so it cannot fail the summary.
  StatResult s = sample_result();
  s.vars.emplace("__branch_3__z", Distribution::uniform(1, 1));
  EXPECT_EQ(s.keys().size(), 2u);
  EXPECT_NO_THROW(s.summary_text());
}

TEST(StatResult, ParticlesKeepOrder) {
  StatResult r = StatResult::create();
  r.particles.emplace();
  r.particles->push_back({{"x", 1.0}, {"__veclen__v", 2.0}});
  r.particles->push_back({{"x", 2.0}});
  const StatResult copy = r;
  ASSERT_TRUE(copy.particles.has_value());
  ASSERT_EQ(copy.particles->size(), 2u);
  EXPECT_EQ(copy.particles->at(0).at("__veclen__v"), 2.0);
  EXPECT_EQ(copy.particles->at(1).at("x"), 2.0);
}

TEST(ParticleTable, ColumnsShareTheirValuesAndCopyBeforeChanging) {
  SampleVector draws = make_samples({1, 2, 3});
  const Distribution marginal = Distribution::empirical(draws);
  ParticleTable table(3);
  table.set("x", ParticleTable::Column{draws, {}, false});
  EXPECT_EQ(table.find("x")->values.get(), draws.get()) << "a full column is stored once";

  // A later partial writer changes only the particles it covers, and never
  // the samples it shared.
  SampleVector later = make_samples({0, 20, 0});
  table.set("x", ParticleTable::Column{later, {false, true, false}, false});
  EXPECT_EQ(table.at(0).at("x"), 1);
  EXPECT_EQ(table.at(1).at("x"), 20);
  EXPECT_EQ(*marginal.samples(), (std::vector<double>{1, 2, 3}));

  const ParticleTable copy = table;
  table.push_back({{"y", 5.0}});
  EXPECT_EQ(copy.size(), 3u);
  EXPECT_EQ(copy.find("y"), nullptr);
  ASSERT_EQ(table.size(), 4u);
  EXPECT_EQ(table.at(3), (Particle{{"y", 5.0}}));
  EXPECT_EQ(table.at(0), (Particle{{"x", 1.0}}));
  EXPECT_THROW(table.at(4), std::out_of_range);
  std::size_t visited = 0;
  for (const Particle& particle : copy) visited += particle.size();
  EXPECT_EQ(visited, 3u);
}

TEST(StandardErrors, BatchMeansOverSqrtNBatches) {
  // 16 draws: 4 batches of 4, holding 0, 1, 2 and 3. Every statistic of a
  // batch is its value, so each error is the sample deviation of 0..3
  // (sqrt(5/3)) over sqrt(4).
  std::vector<double> draws;
  for (int batch = 0; batch < 4; ++batch) draws.insert(draws.end(), 4, static_cast<double>(batch));
  const StandardErrors errors = standard_errors(Distribution::empirical(draws));
  const double expected = std::sqrt(5.0 / 3.0) / 2.0;
  EXPECT_NEAR(errors.mean, expected, 1e-12);
  EXPECT_NEAR(errors.p5, expected, 1e-12);
  EXPECT_NEAR(errors.p50, expected, 1e-12);
  EXPECT_NEAR(errors.p95, expected, 1e-12);
  const StandardErrors exact = standard_errors(Distribution::normal(0, 1));
  EXPECT_EQ(exact.mean, 0.0);
  EXPECT_TRUE(std::isnan(standard_errors(Distribution::empirical(std::vector<double>{1, 2, 3})).mean));
}

}  // namespace
}  // namespace quillon
