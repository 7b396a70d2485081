// Joint statistics of particle tables (covariance, Pearson and Spearman
// correlation over pairwise-complete rows, the summary table) and the
// densities of the closed-form distributions that plots draw.
#include "stat_result/joint.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "distribution/density.hpp"

namespace quillon {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Columns hold their values as an Empirical distribution's shared samples.
ParticleTable::Column full(std::vector<double> values) {
  return ParticleTable::Column{Distribution::empirical(std::move(values)).samples(), {}, false};
}

ParticleTable::Column partial(std::vector<double> values, std::vector<bool> present) {
  return ParticleTable::Column{Distribution::empirical(std::move(values)).samples(), std::move(present), false};
}

// Entry (a, b) of `m` by variable names.
double entry(const JointSample& sample, const SquareMatrix& m, const char* a, const char* b) {
  return m.at(*sample.index_of(a), *sample.index_of(b));
}

TEST(JointSample, PearsonSpearmanAndCovarianceOfCompleteColumns) {
  ParticleTable table(4);
  table.set("x", full({1, 2, 3, 4}));
  table.set("y", full({1, 3, 2, 4}));
  table.set("z", full({1, std::exp(2.0), std::exp(3.0), std::exp(4.0)}));  // monotone in x
  const JointSample sample(table);
  ASSERT_EQ(sample.variables().size(), 3u);

  const SquareMatrix pearson = sample.correlation(CorrelationMethod::kPearson);
  EXPECT_NEAR(entry(sample, pearson, "x", "y"), 0.8, 1e-12);
  EXPECT_NEAR(entry(sample, pearson, "y", "x"), 0.8, 1e-12);
  EXPECT_EQ(entry(sample, pearson, "x", "x"), 1.0);
  EXPECT_LT(entry(sample, pearson, "x", "z"), 0.99);

  const SquareMatrix spearman = sample.correlation(CorrelationMethod::kSpearman);
  EXPECT_NEAR(entry(sample, spearman, "x", "y"), 0.8, 1e-12);
  EXPECT_NEAR(entry(sample, spearman, "x", "z"), 1.0, 1e-12);

  const SquareMatrix cov = sample.covariance();
  EXPECT_NEAR(entry(sample, cov, "x", "y"), 4.0 / 3.0, 1e-12);
  EXPECT_NEAR(entry(sample, cov, "x", "x"), 5.0 / 3.0, 1e-12);
}

TEST(JointSample, SpearmanGivesTiesTheirAverageRank) {
  ParticleTable table(4);
  table.set("x", full({1, 2, 2, 3}));
  table.set("y", full({10, 20, 30, 40}));
  const JointSample sample(table);
  // Ranks of x: 1, 2.5, 2.5, 4 against 1, 2, 3, 4.
  EXPECT_NEAR(entry(sample, sample.correlation(CorrelationMethod::kSpearman), "x", "y"), 4.5 / std::sqrt(22.5),
              1e-12);
}

TEST(JointSample, PairsUseRowsWhereBothHaveValues) {
  ParticleTable table(5);
  table.set("x", full({1, 2, 3, 4, 5}));
  table.set("y", partial({2, 4, kNaN, 8, 10}, {true, true, false, true, true}));
  table.set("w", full({5, 4, kNaN, 2, 1}));  // a NaN value counts as absent
  const JointSample sample(table);

  const SquareMatrix cov = sample.covariance();
  EXPECT_NEAR(entry(sample, cov, "x", "y"), 20.0 / 3.0, 1e-12);  // rows 0, 1, 3, 4
  EXPECT_NEAR(entry(sample, cov, "x", "x"), 2.5, 1e-12);         // all five rows
  EXPECT_NEAR(entry(sample, cov, "y", "y"), 40.0 / 3.0, 1e-12);
  const SquareMatrix r = sample.correlation(CorrelationMethod::kPearson);
  EXPECT_NEAR(entry(sample, r, "x", "y"), 1.0, 1e-12);
  EXPECT_NEAR(entry(sample, r, "x", "w"), -1.0, 1e-12);
  EXPECT_NEAR(entry(sample, sample.correlation(CorrelationMethod::kSpearman), "y", "w"), -1.0, 1e-12);

  const auto [xs, ys] = sample.complete_pairs(*sample.index_of("x"), *sample.index_of("y"));
  EXPECT_EQ(xs, (std::vector<double>{1, 2, 4, 5}));
  EXPECT_EQ(ys, (std::vector<double>{2, 4, 8, 10}));
  const std::vector<double> column = sample.column(*sample.index_of("y"));
  EXPECT_TRUE(std::isnan(column[2]));
  EXPECT_EQ(column[3], 8.0);
  EXPECT_EQ(sample.marginal(*sample.index_of("y")).samples()->size(), 4u);
}

TEST(JointSample, UndefinedStatisticsAreNaN) {
  ParticleTable table(3);
  table.set("c", full({2, 2, 2}));
  table.set("x", full({1, 2, 3}));
  table.set("one", partial({kNaN, 7, kNaN}, {false, true, false}));
  table.set("none", partial({kNaN, kNaN, kNaN}, {false, false, false}));
  const JointSample sample(table);
  EXPECT_FALSE(sample.index_of("none"));  // no value anywhere: not a variable
  ASSERT_EQ(sample.variables().size(), 3u);

  const SquareMatrix r = sample.correlation(CorrelationMethod::kPearson);
  EXPECT_TRUE(std::isnan(entry(sample, r, "c", "x")));
  EXPECT_TRUE(std::isnan(entry(sample, r, "c", "c")));
  EXPECT_TRUE(std::isnan(entry(sample, r, "one", "x")));
  const SquareMatrix cov = sample.covariance();
  EXPECT_EQ(entry(sample, cov, "c", "c"), 0.0);
  EXPECT_TRUE(std::isnan(entry(sample, cov, "one", "one")));

  const JointSample empty{ParticleTable(0)};
  EXPECT_TRUE(empty.variables().empty());
  EXPECT_EQ(empty.covariance().size, 0u);
  EXPECT_EQ(empty.summary_text(), "JointDistribution: 0 variables, 0 particles\n");
}

TEST(JointSample, SummaryTextAlignsMarginalsAndCorrelation) {
  ParticleTable single(4);
  single.set("x", full({1, 2, 3, 4}));
  EXPECT_EQ(JointSample(single).summary_text(),
            "JointDistribution: 1 variable, 4 particles\n"
            "Marginals:\n"
            "  variable  n  mean      std  p5  p50  p95\n"
            "  x         4   2.5  1.29099   1    3    4\n"
            "Correlation (pearson):\n"
            "          x\n"
            "  x  1.0000\n");

  ParticleTable table(4);
  table.set("a_long_name", full({1, 2, 3, 4}));
  table.set("b", partial({-1000.5, 3, kNaN, 4}, {true, true, false, true}));
  const JointSample sample(table);
  const std::string text = sample.summary_text(CorrelationMethod::kSpearman);
  EXPECT_NE(text.find("Correlation (spearman):\n"), std::string::npos);
  // Within each table every line ends at the same column: numbers are
  // right-aligned under their headers.
  std::istringstream lines(text);
  std::string line;
  std::vector<std::size_t> widths;
  while (std::getline(lines, line)) widths.push_back(line.size());
  ASSERT_EQ(widths.size(), 9u);  // title, 3 + 3 table lines, 2 table titles
  EXPECT_EQ(widths[2], widths[3]);
  EXPECT_EQ(widths[3], widths[4]);
  EXPECT_EQ(widths[6], widths[7]);
  EXPECT_EQ(widths[7], widths[8]);
  EXPECT_NE(text.find("  b            3 "), std::string::npos);  // the count of b's values
}

double integral(const DensityCurve& curve) {
  double sum = 0.0;
  for (std::size_t k = 1; k < curve.x.size(); ++k) {
    sum += 0.5 * (curve.density[k] + curve.density[k - 1]) * (curve.x[k] - curve.x[k - 1]);
  }
  return sum;
}

TEST(Density, ClosedFormsMatchTheirFormulas) {
  EXPECT_NEAR(density(Distribution::normal(1, 2), 1), 1.0 / (2.0 * std::sqrt(2.0 * M_PI)), 1e-14);
  EXPECT_NEAR(density(Distribution::uniform(2, 6), 3), 0.25, 1e-15);
  EXPECT_EQ(density(Distribution::uniform(2, 6), 7), 0.0);
  EXPECT_NEAR(density(Distribution::beta(2, 5), 0.2), 30 * 0.2 * std::pow(0.8, 4), 1e-12);
  EXPECT_NEAR(density(Distribution::gamma(2, 3), 0.5), 9 * 0.5 * std::exp(-1.5), 1e-12);  // rate 3
  EXPECT_EQ(density(Distribution::gamma(2, 3), -1), 0.0);
  EXPECT_NEAR(density(Distribution::lognormal(0, 0.5), 1), 1.0 / (0.5 * std::sqrt(2.0 * M_PI)), 1e-12);
  EXPECT_EQ(density(Distribution::lognormal(0, 0.5), 0), 0.0);
}

TEST(Density, CurvesSpanTheBodyOfEachKind) {
  for (const Distribution& d : {Distribution::normal(1, 2), Distribution::beta(2, 5), Distribution::gamma(2, 3),
                                Distribution::lognormal(0, 0.5)}) {
    const std::optional<DensityCurve> curve = density_curve(d, 2001);
    ASSERT_TRUE(curve) << d.to_string();
    EXPECT_EQ(curve->x.front(), d.percentile(0.001));
    EXPECT_EQ(curve->x.back(), d.percentile(0.999));
    EXPECT_NEAR(integral(*curve), 0.998, 0.01) << d.to_string();
  }
  const std::optional<DensityCurve> box = density_curve(Distribution::uniform(0, 10), 5);
  ASSERT_TRUE(box);
  EXPECT_EQ(box->x, (std::vector<double>{-0.5, 2.25, 5, 7.75, 10.5}));
  EXPECT_EQ(box->density, (std::vector<double>{0, 0.1, 0.1, 0.1, 0}));
}

TEST(Density, NoDensityForPointMassesSamplesOrImproperParameters) {
  for (const Distribution& d :
       {Distribution::deterministic(3), Distribution::empirical({1, 2}), Distribution::normal(0, 0),
        Distribution::beta(-1, 2), Distribution::gamma(2, 0), Distribution::uniform(3, 1),
        Distribution::lognormal(0, std::numeric_limits<double>::infinity())}) {
    EXPECT_FALSE(has_density(d)) << d.to_string();
    EXPECT_TRUE(std::isnan(density(d, 0.5))) << d.to_string();
    EXPECT_FALSE(density_curve(d, 10)) << d.to_string();
  }
}

}  // namespace
}  // namespace quillon
