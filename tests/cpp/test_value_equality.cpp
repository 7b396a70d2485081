// Value equality of distributions and results: NaN as a value, presence
// masks in particle tables, and hashes that agree with equality.
#include "stat_result/equality.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace quillon {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ValueEquality, DistributionsCompareKindParametersAndSamples) {
  EXPECT_TRUE(equal_values(Distribution::normal(0.0, 1.0), Distribution::normal(0.0, 1.0)));
  EXPECT_FALSE(equal_values(Distribution::normal(0.0, 1.0), Distribution::lognormal(0.0, 1.0)));
  EXPECT_FALSE(equal_values(Distribution::uniform(0.0, 1.0), Distribution::uniform(0.0, 2.0)));
  EXPECT_TRUE(equal_values(Distribution::deterministic(kNaN), Distribution::deterministic(-kNaN)));
  EXPECT_TRUE(equal_values(Distribution::empirical(std::vector<double>{1.0, kNaN}),
                           Distribution::empirical(std::vector<double>{1.0, kNaN})));
  EXPECT_FALSE(equal_values(Distribution::empirical(std::vector<double>{1.0, 2.0}),
                            Distribution::empirical(std::vector<double>{2.0, 1.0})));
  EXPECT_FALSE(equal_values(Distribution::empirical(std::vector<double>{}),
                            Distribution::empirical(std::vector<double>{0.0})));
}

TEST(ValueEquality, EqualDistributionsHashAlike) {
  EXPECT_EQ(value_hash(Distribution::deterministic(0.0)), value_hash(Distribution::deterministic(-0.0)));
  EXPECT_EQ(value_hash(Distribution::empirical(std::vector<double>{kNaN, 0.0})),
            value_hash(Distribution::empirical(std::vector<double>{-kNaN, -0.0})));
  EXPECT_NE(value_hash(Distribution::normal(0.0, 1.0)), value_hash(Distribution::normal(1.0, 0.0)));
}

ParticleTable::Column column(std::vector<double> values, std::vector<bool> present = {}) {
  ParticleTable::Column c;
  c.values = make_samples(std::move(values));
  c.present = std::move(present);
  return c;
}

TEST(ValueEquality, ParticlesCompareOnlyWhereValuesArePresent) {
  StatResult a;
  a.particles.emplace(3);
  a.particles->set("x", column({1.0, kNaN, 3.0}, {true, false, true}));
  StatResult b;
  b.particles.emplace(3);
  b.particles->set("x", column({1.0, 99.0, 3.0}, {true, false, true}));
  EXPECT_TRUE(equal_values(a, b));  // what an absent particle stores does not matter
  EXPECT_EQ(value_hash(a), value_hash(b));

  StatResult full;
  full.particles.emplace(3);
  full.particles->set("x", column({1.0, 2.0, 3.0}));
  EXPECT_FALSE(equal_values(a, full));

  StatResult masked_full;
  masked_full.particles.emplace(3);
  masked_full.particles->set("x", column({1.0, 2.0, 3.0}, {true, true, true}));
  EXPECT_TRUE(equal_values(full, masked_full));
  EXPECT_EQ(value_hash(full), value_hash(masked_full));

  StatResult none;
  EXPECT_FALSE(equal_values(none, full));
  none.vars.emplace("x", Distribution::normal(0.0, 1.0));
  StatResult other_group = none;
  other_group.by_node[1].emplace("x", Distribution::normal(0.0, 1.0));
  EXPECT_FALSE(equal_values(none, other_group));

  // Equal marginals hash alike whatever order their maps hold them in.
  StatResult first, second;
  for (const char* name : {"a", "b", "c", "d", "e"}) first.vars.emplace(name, Distribution::normal(1.0, 2.0));
  for (const char* name : {"e", "d", "c", "b", "a"}) second.vars.emplace(name, Distribution::normal(1.0, 2.0));
  ASSERT_TRUE(equal_values(first, second));
  EXPECT_EQ(value_hash(first), value_hash(second));
}

}  // namespace
}  // namespace quillon
