// Distributions: text forms, moments, sampling laws and fallbacks, the
// Uniform error and width rules, percentiles, the generator.
//
// Statistical checks use at least 100,000 draws and 6-standard-error bounds:
// the sample mean against sqrt(var / n), the sample variance against
// sqrt((m4 - s^4) / n) with m4 the sample fourth central moment, a fraction
// against sqrt(p (1 - p) / n). A correct sampler fails one such check with
// probability about 2e-9.
#include "distribution/distribution.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <limits>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "distribution/dist_transfer.hpp"
#include "distribution/format.hpp"

namespace quillon {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kDraws = 200000;

struct Moments {
  double mean, var, m4;
};

Moments moments(const std::vector<double>& s) {
  const double n = static_cast<double>(s.size());
  const double mean = std::accumulate(s.begin(), s.end(), 0.0) / n;
  double m2 = 0.0;
  double m4 = 0.0;
  for (const double x : s) {
    const double d = (x - mean) * (x - mean);
    m2 += d;
    m4 += d * d;
  }
  return {mean, m2 / (n - 1.0), m4 / n};
}

void expect_law(const Distribution& d, double mean, double var, std::uint64_t seed) {
  Rng rng(seed);
  const std::vector<double> s = d.sample_n_with_rng(kDraws, rng);
  const Moments m = moments(s);
  const double n = static_cast<double>(s.size());
  EXPECT_NEAR(m.mean, mean, 6.0 * std::sqrt(var / n)) << d.to_string();
  EXPECT_NEAR(m.var, var, 6.0 * std::sqrt((m.m4 - m.var * m.var) / n)) << d.to_string();
}

template <typename Pred>
void expect_fraction(const std::vector<double>& s, Pred pred, double p, const std::string& what) {
  const double n = static_cast<double>(s.size());
  const double hits = static_cast<double>(std::count_if(s.begin(), s.end(), pred));
  EXPECT_NEAR(hits / n, p, 6.0 * std::sqrt(p * (1.0 - p) / n)) << what;
}

bool all_equal(const std::vector<double>& s, double value) {
  return std::all_of(s.begin(), s.end(), [&](double x) { return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(value); });
}

// --- text forms --------------------------------------------------------------

TEST(NumberText, ShortestIsPlainDecimal) {
  EXPECT_EQ(format_shortest(1.0), "1");
  EXPECT_EQ(format_shortest(-0.0), "-0");
  EXPECT_EQ(format_shortest(0.0), "0");
  EXPECT_EQ(format_shortest(0.1), "0.1");
  EXPECT_EQ(format_shortest(-2.5), "-2.5");
  EXPECT_EQ(format_shortest(1e-7), "0.0000001");
  EXPECT_EQ(format_shortest(1e21), "1000000000000000000000");
  EXPECT_EQ(format_shortest(1e23), "100000000000000000000000");  // shortest digits, not the exact integer
  EXPECT_EQ(format_shortest(123456.789), "123456.789");
  EXPECT_EQ(format_shortest(0.30000000000000004), "0.30000000000000004");
  EXPECT_EQ(format_shortest(kNaN), "NaN");
  EXPECT_EQ(format_shortest(-kNaN), "NaN");
  EXPECT_EQ(format_shortest(kInf), "inf");
  EXPECT_EQ(format_shortest(-kInf), "-inf");
  EXPECT_EQ(format_shortest(5e-324), "0." + std::string(323, '0') + "5");
  const std::string max = format_shortest(std::numeric_limits<double>::max());
  EXPECT_EQ(max, "17976931348623157" + std::string(292, '0'));
}

TEST(NumberText, FixedRoundsExactValueTiesToEven) {
  EXPECT_EQ(format_fixed(2.0, 4), "2.0000");
  EXPECT_EQ(format_fixed(0.03125, 4), "0.0312");  // exact tie, down to even
  EXPECT_EQ(format_fixed(0.09375, 4), "0.0938");  // exact tie, up to even
  EXPECT_EQ(format_fixed(0.00015, 4), "0.0001");  // below the tie in binary
  EXPECT_EQ(format_fixed(-0.0, 4), "-0.0000");
  EXPECT_EQ(format_fixed(1e21, 4), "1000000000000000000000.0000");
  EXPECT_EQ(format_fixed(kNaN, 4), "NaN");
  EXPECT_EQ(format_fixed(-kInf, 4), "-inf");
  EXPECT_EQ(format_fixed(std::numeric_limits<double>::max(), 4).size(), 309u + 5u);
}

TEST(DistributionText, EveryKind) {
  EXPECT_EQ(Distribution::deterministic(3.0).to_string(), "Deterministic(3)");
  EXPECT_EQ(Distribution::normal(1, -2).to_string(), "Normal(μ=1, σ=-2)");
  EXPECT_EQ(Distribution::uniform(0, 1).to_string(), "Uniform(0, 1)");
  EXPECT_EQ(Distribution::uniform(2, 1).to_string(), "Uniform(2, 1)");
  EXPECT_EQ(Distribution::beta(0.5, 1e-7).to_string(), "Beta(α=0.5, β=0.0000001)");
  EXPECT_EQ(Distribution::gamma(2, 0.5).to_string(), "Gamma(k=2, λ=0.5)");
  EXPECT_EQ(Distribution::lognormal(-0.0, kInf).to_string(), "LogNormal(μ=-0, σ=inf)");
  EXPECT_EQ(Distribution::normal(kNaN, -kInf).to_string(), "Normal(μ=NaN, σ=-inf)");
  EXPECT_EQ(Distribution::empirical({1, 2, 4}).to_string(), "Empirical(n=3, μ≈2.3333)");
  EXPECT_EQ(Distribution::empirical(std::vector<double>{}).to_string(), "Empirical(n=0, μ≈NaN)");
}

TEST(DistributionText, SummaryLine) {
  EXPECT_EQ(Distribution::deterministic(2).summary().to_string(),
            "mean=2.0000  std=0.0000  [p5=2.0000, p50=2.0000, p95=2.0000]");
  EXPECT_EQ(Distribution::deterministic(4).summary().to_string(),
            "mean=4.0000  std=0.0000  [p5=4.0000, p50=4.0000, p95=4.0000]");
  // 21 values 0..20: positions round(0.05*20)=1, 10, 19.
  std::vector<double> v(21);
  std::iota(v.begin(), v.end(), 0.0);
  const PortSummary s = Distribution::empirical(v).summary();
  EXPECT_EQ(s.variance, 38.5);
  EXPECT_EQ(s.std, std::sqrt(38.5));
  EXPECT_EQ(s.to_string(), "mean=10.0000  std=6.2048  [p5=1.0000, p50=10.0000, p95=19.0000]");
}

// --- moments -----------------------------------------------------------------

TEST(DistributionMoments, ClosedForms) {
  EXPECT_EQ(Distribution::normal(1, -2).variance(), 4.0);
  EXPECT_EQ(Distribution::uniform(2, 1).mean(), 1.5);
  EXPECT_EQ(Distribution::uniform(1, 1).mean(), 1.0);
  EXPECT_EQ(Distribution::uniform(1, 1).variance(), 0.0);
  EXPECT_DOUBLE_EQ(Distribution::uniform(0, 6).variance(), 3.0);
  EXPECT_DOUBLE_EQ(Distribution::beta(2, 3).mean(), 0.4);
  EXPECT_DOUBLE_EQ(Distribution::beta(2, 3).variance(), 6.0 / (6.0 * 25.0));
  EXPECT_EQ(Distribution::gamma(2, 0.5).mean(), 4.0);
  EXPECT_EQ(Distribution::gamma(2, 0.5).variance(), 8.0);
  EXPECT_DOUBLE_EQ(Distribution::lognormal(0.5, 1.0).mean(), std::exp(1.0));
  // expm1 keeps a tiny sigma's variance instead of cancelling it to 0.
  EXPECT_NEAR(Distribution::lognormal(0, 1e-9).variance(), 1e-18, 1e-30);
  EXPECT_EQ(Distribution::lognormal(0, kInf).mean(), kInf);
  EXPECT_EQ(Distribution::deterministic(7).variance(), 0.0);
  EXPECT_EQ(Distribution::deterministic(7).std_dev(), 0.0);
}

TEST(DistributionMoments, Empirical) {
  EXPECT_TRUE(std::isnan(Distribution::empirical(std::vector<double>{}).mean()));
  EXPECT_EQ(Distribution::empirical(std::vector<double>{}).variance(), 0.0);
  EXPECT_EQ(Distribution::empirical({5}).variance(), 0.0);
  EXPECT_EQ(Distribution::empirical({1, 2, 3, 4}).mean(), 2.5);
  EXPECT_DOUBLE_EQ(Distribution::empirical({1, 2, 3, 4}).variance(), 5.0 / 3.0);
  // Two passes: a large offset does not swamp a small spread.
  EXPECT_DOUBLE_EQ(Distribution::empirical({1e9 + 1, 1e9 + 2, 1e9 + 3}).variance(), 1.0);
}

// --- sampling laws ---------------------------------------------------------------

TEST(DistributionSampling, NormalLawAndShape) {
  expect_law(Distribution::normal(1, 2), 1, 4, 1);
  expect_law(Distribution::normal(1, -2), 1, 4, 2);  // the magnitude of std is used
  Rng rng(3);
  const std::vector<double> z = Distribution::normal(0, 1).sample_n_with_rng(kDraws, rng);
  expect_fraction(z, [](double x) { return std::fabs(x) < 1.0; }, std::erf(1.0 / std::sqrt(2.0)), "within 1");
  expect_fraction(z, [](double x) { return std::fabs(x) > 2.5; }, std::erfc(2.5 / std::sqrt(2.0)), "beyond 2.5");
  expect_fraction(z, [](double x) { return x < 0.0; }, 0.5, "symmetry");
  // Beyond the base layer (x > 3.654) draws come from the tail sampler: with
  // 2,000,000 draws about 96 exceed 3.9.
  const std::vector<double> many = Distribution::normal(0, 1).sample_n_with_rng(2000000, rng);
  expect_fraction(many, [](double x) { return x > 3.9; }, 0.5 * std::erfc(3.9 / std::sqrt(2.0)), "tail");
  expect_fraction(many, [](double x) { return x < -4.2; }, 0.5 * std::erfc(4.2 / std::sqrt(2.0)), "far tail");
  // The outer layers' wedges, where a lax acceptance test would pile up mass.
  expect_fraction(many, [](double x) { return std::fabs(x) > 3.2 && std::fabs(x) < 3.65; },
                  std::erfc(3.2 / std::sqrt(2.0)) - std::erfc(3.65 / std::sqrt(2.0)), "outer wedges");
}

TEST(DistributionSampling, UniformLawStaysInsideBounds) {
  expect_law(Distribution::uniform(-1, 3), 1, 16.0 / 12.0, 4);
  Rng rng(5);
  const std::vector<double> s = Distribution::uniform(-1, 3).sample_n_with_rng(kDraws, rng);
  EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](double x) { return x >= -1 && x < 3; }));
  expect_fraction(s, [](double x) { return x < 0.0; }, 0.25, "first quarter");
}

TEST(DistributionSampling, BetaBothChengBranches) {
  // BB (both > 1), BC (min <= 1), each in both orientations.
  const double cases[][2] = {{2, 3}, {5, 1.5}, {1.5, 5}, {0.5, 0.5}, {0.3, 4}, {4, 0.3}, {1, 3}, {0.2, 1}};
  std::uint64_t seed = 10;
  for (const auto& c : cases) {
    const Distribution d = Distribution::beta(c[0], c[1]);
    expect_law(d, d.mean(), d.variance(), seed++);
    Rng rng(seed++);
    const std::vector<double> s = d.sample_n_with_rng(20000, rng);
    EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](double x) { return x >= 0 && x <= 1; })) << d.to_string();
  }
  // Distribution functions in closed form: Beta(1, 3): 1 - (1 - x)^3;
  // Beta(0.5, 0.5): (2 / pi) asin(sqrt x); Beta(0.2, 1): x^0.2; Beta(4, 1): x^4.
  Rng rng(30);
  const struct {
    double a, b;
    double (*cdf)(double);
  } laws[] = {{1, 3, [](double x) { return 1 - std::pow(1 - x, 3); }},
              {0.5, 0.5, [](double x) { return 2 / M_PI * std::asin(std::sqrt(x)); }},
              {0.2, 1, [](double x) { return std::pow(x, 0.2); }},
              {4, 1, [](double x) { return std::pow(x, 4); }}};
  for (const auto& law : laws) {
    const std::vector<double> s = Distribution::beta(law.a, law.b).sample_n_with_rng(kDraws, rng);
    for (const double x : {0.01, 0.1, 0.3, 0.5, 0.7, 0.9, 0.99}) {
      expect_fraction(s, [x](double v) { return v < x; }, law.cdf(x), Distribution::beta(law.a, law.b).to_string());
    }
  }
}

TEST(DistributionSampling, GammaAllShapeRegimes) {
  expect_law(Distribution::gamma(0.5, 2), 0.25, 0.125, 40);  // shape < 1: boosted
  expect_law(Distribution::gamma(1, 2), 0.5, 0.25, 41);      // exponential
  expect_law(Distribution::gamma(3, 2), 1.5, 0.75, 42);      // Marsaglia-Tsang
  expect_law(Distribution::gamma(50, 0.1), 500, 5000, 43);
  Rng rng(44);
  const std::vector<double> e = Distribution::gamma(1, 2).sample_n_with_rng(kDraws, rng);
  expect_fraction(e, [](double x) { return x < 0.5; }, 1.0 - std::exp(-1.0), "exponential cdf at mean");
  // Gamma(0.5, rate 0.5) is chi-square with 1 degree of freedom: P(X < 1) = erf(1/sqrt 2).
  const std::vector<double> c = Distribution::gamma(0.5, 0.5).sample_n_with_rng(kDraws, rng);
  expect_fraction(c, [](double x) { return x < 1.0; }, std::erf(1.0 / std::sqrt(2.0)), "chi-square cdf");
  EXPECT_TRUE(std::all_of(c.begin(), c.end(), [](double x) { return x >= 0; }));
}

TEST(DistributionSampling, LogNormalAndEmpirical) {
  const Distribution ln = Distribution::lognormal(0.2, 0.5);
  expect_law(ln, ln.mean(), ln.variance(), 50);
  // Resampling with replacement: each stored value equally likely, so the
  // draws have the population variance (denominator n), not variance().
  const std::vector<double> values{1, 2, 4, 8};
  expect_law(Distribution::empirical(values), 3.75, 7.1875, 51);
  Rng rng(52);
  const std::vector<double> s = Distribution::empirical(values).sample_n_with_rng(kDraws, rng);
  for (const double v : values) expect_fraction(s, [v](double x) { return x == v; }, 0.25, "share of a sample");
}

// --- fallbacks, errors, edge parameters ----------------------------------------------

TEST(DistributionSampling, InvalidParametersFallBackToConstants) {
  Rng rng(60);
  const auto draws = [&](const Distribution& d) { return d.sample_n_with_rng(50, rng); };
  EXPECT_TRUE(all_equal(draws(Distribution::normal(0, kInf)), 0.0));
  EXPECT_TRUE(all_equal(draws(Distribution::normal(3, kNaN)), 3.0));
  EXPECT_TRUE(all_equal(draws(Distribution::lognormal(0, kInf)), 1.0));
  EXPECT_TRUE(all_equal(draws(Distribution::gamma(0, 1)), 0.0));
  EXPECT_TRUE(all_equal(draws(Distribution::gamma(2, -1)), -2.0));
  EXPECT_TRUE(all_equal(draws(Distribution::gamma(2, kInf)), 0.0));  // 1/rate = 0 fails the check
  EXPECT_TRUE(all_equal(draws(Distribution::gamma(kNaN, 1)), kNaN));
  EXPECT_TRUE(all_equal(draws(Distribution::beta(0, 1)), 0.0));
  EXPECT_TRUE(all_equal(draws(Distribution::beta(-1, 3)), -0.5));
  EXPECT_TRUE(all_equal(draws(Distribution::beta(kNaN, 1)), kNaN));
  EXPECT_TRUE(all_equal(draws(Distribution::empirical(std::vector<double>{})), 0.0));
  EXPECT_TRUE(all_equal(draws(Distribution::empirical(SampleVector{})), 0.0));
  EXPECT_TRUE(all_equal(draws(Distribution::deterministic(-0.0)), -0.0));
}

TEST(DistributionSampling, ZeroDrawsAndSingleDraws) {
  Rng rng(61);
  const Distribution kinds[] = {Distribution::deterministic(1), Distribution::normal(0, 1),
                                Distribution::uniform(0, 1),    Distribution::beta(2, 2),
                                Distribution::gamma(2, 1),      Distribution::lognormal(0, 1),
                                Distribution::empirical({1, 2})};
  for (const Distribution& d : kinds) {
    EXPECT_TRUE(d.sample_n_with_rng(0, rng).empty()) << d.to_string();
    EXPECT_EQ(d.sample_n_with_rng(7, Rng(1)).size(), 7u);  // a generator passed by value works alike
    Rng a(62);
    Rng b(62);
    EXPECT_EQ(d.sample_one(a), d.sample_n_with_rng(1, b)[0]) << d.to_string();
  }
}

TEST(DistributionSampling, ExtremeParametersTerminateInRange) {
  Rng rng(70);
  const auto check = [&](const Distribution& d, double lo, double hi) {
    const std::vector<double> s = d.sample_n_with_rng(5000, rng);
    EXPECT_TRUE(std::all_of(s.begin(), s.end(), [&](double x) { return x >= lo && x <= hi; })) << d.to_string();
    return moments(s).mean;
  };
  for (const double p : {5e-324, 1e-300, 1e-10, 1e10, 1e300, std::numeric_limits<double>::max()}) {
    for (const double q : {5e-324, 0.5, 1.0, 3.0, 1e300}) {
      check(Distribution::beta(p, q), 0, 1);
      check(Distribution::beta(q, p), 0, 1);
      check(Distribution::gamma(p, q), 0, kInf);
    }
  }
  // Tiny equal parameters put half the mass at each end.
  EXPECT_NEAR(check(Distribution::beta(1e-300, 1e-300), 0, 1), 0.5, 0.05);
  EXPECT_NEAR(check(Distribution::beta(5e-324, 5e-324), 0, 1), 0.5, 0.05);
  EXPECT_EQ(check(Distribution::beta(1e300, 1e300), 0.5, 0.5), 0.5);
  EXPECT_EQ(check(Distribution::beta(kInf, 2), 1, 1), 1.0);
  EXPECT_EQ(check(Distribution::beta(2, kInf), 0, 0), 0.0);
  EXPECT_EQ(check(Distribution::gamma(1e-300, 1), 0, 0), 0.0);
  EXPECT_NEAR(check(Distribution::gamma(1e300, 1), 0, kInf), 1e300, 1e290);
  check(Distribution::gamma(kInf, 1), kInf, kInf);
  // Gamma with an underflowing draw and an overflowing scale stays a number.
  check(Distribution::gamma(1e-300, 1e-310), 0, kInf);
  const std::vector<double> wide = Distribution::normal(0, 1e308).sample_n_with_rng(1000, rng);
  EXPECT_TRUE(std::none_of(wide.begin(), wide.end(), [](double x) { return std::isnan(x); }));
}

TEST(UniformErrors, UnorderedOrOverflowingBoundsFailEverySamplingCall) {
  Rng rng(80);
  const struct {
    double low, high;
    const char* text;
  } cases[] = {{1, 1, kUniformOrderError},       {2, 1, kUniformOrderError},
               {kNaN, 1, kUniformOrderError},    {0, kNaN, kUniformOrderError},
               {-1e308, 1e308, kUniformRangeError}, {0, kInf, kUniformRangeError},
               {-kInf, 0, kUniformRangeError}};
  for (const auto& c : cases) {
    const Distribution d = Distribution::uniform(c.low, c.high);
    ASSERT_NE(d.sampling_error(), nullptr);
    EXPECT_STREQ(d.sampling_error(), c.text);
    const auto expect_error = [&](auto&& op) {
      try {
        op();
        ADD_FAILURE() << "no error for " << d.to_string();
      } catch (const DistributionError& e) {
        EXPECT_STREQ(e.what(), c.text);
      }
    };
    expect_error([&] { d.sample_n_with_rng(0, rng); });
    expect_error([&] { d.sample_n_with_rng(5, rng); });
    expect_error([&] { d.sample_one(rng); });
    expect_error([&] { d.percentile(0.5); });
    expect_error([&] { d.summary(); });
    (void)d.mean();  // still available
    (void)d.to_string();
  }
  EXPECT_STREQ(kUniformOrderError, "Uniform::new called with `low >= high`");
  EXPECT_STREQ(kUniformRangeError, "Uniform::new: range overflow");
  EXPECT_EQ(Distribution::uniform(0, 1).sampling_error(), nullptr);
}

TEST(UniformWidth, NoDrawReachesHighEvenForAdjacentBounds) {
  Rng rng(90);
  // One double apart: a one-step-at-a-time search would need 2^52 steps.
  const double one_up = std::nextafter(1.0, 2.0);
  EXPECT_TRUE(all_equal(Distribution::uniform(1.0, one_up).sample_n_with_rng(1000, rng), 1.0));
  EXPECT_TRUE(all_equal(Distribution::uniform(0.0, 5e-324).sample_n_with_rng(100, rng), 0.0));
  // Spacing 2 at 1e16: unadjusted, half the draws would round up to high.
  EXPECT_TRUE(all_equal(Distribution::uniform(1e16, 1e16 + 2).sample_n_with_rng(1000, rng), 1e16));
  const std::vector<double> big = Distribution::uniform(-1e308, 7e307).sample_n_with_rng(10000, rng);
  EXPECT_TRUE(std::all_of(big.begin(), big.end(), [](double x) { return x >= -1e308 && x < 7e307; }));
}

TEST(UniformWidth, MatchesSteppingDownOneDoubleAtATime) {
  // Bounds where high - low needs a few steps down (1 and 63 steps).
  const double cases[][2] = {{0.7, 1.1}, {100.1, 100.7}, {0.1, 0.3}};
  for (const auto& c : cases) {
    double w = c[1] - c[0];
    for (int steps = 0; w * kMaxUnit + c[0] >= c[1] && steps < 1000; ++steps) w = std::nextafter(w, 0.0);
    Rng a(91);
    Rng b(91);
    const std::vector<double> s = Distribution::uniform(c[0], c[1]).sample_n_with_rng(1000, a);
    for (const double x : s) ASSERT_EQ(x, b.next_unit() * w + c[0]);
    EXPECT_LT(kMaxUnit * w + c[0], c[1]);
  }
}

// --- percentiles --------------------------------------------------------------

TEST(Percentile, EmpiricalIndexRule) {
  const Distribution d = Distribution::empirical({3, 1, 2});
  EXPECT_EQ(d.percentile(0.5), 2);
  EXPECT_EQ(d.percentile(-1), 1);
  EXPECT_EQ(d.percentile(7), 3);
  EXPECT_EQ(d.percentile(kNaN), 1);
  EXPECT_EQ(d.percentile(0.25), 2);  // round(0.5) is 1: halves go away from zero
  EXPECT_EQ(Distribution::empirical({10, 20}).percentile(0.5), 20);
  EXPECT_EQ(Distribution::empirical({5}).percentile(0.99), 5);
  EXPECT_TRUE(std::isnan(Distribution::empirical(std::vector<double>{}).percentile(0.5)));
  EXPECT_EQ(Distribution::deterministic(4).percentile(kNaN), 4);
  EXPECT_EQ(Distribution::deterministic(4).percentile(-3), 4);
  // The stored samples stay in their order.
  EXPECT_EQ(*d.samples(), (std::vector<double>{3, 1, 2}));
}

TEST(Percentile, StandardPositionsOf4096Values) {
  std::vector<double> v(4096);
  std::iota(v.begin(), v.end(), 0.0);
  std::reverse(v.begin(), v.end());
  const Distribution d = Distribution::empirical(v);
  EXPECT_EQ(d.percentile(0.05), 205);
  EXPECT_EQ(d.percentile(0.5), 2048);
  EXPECT_EQ(d.percentile(0.95), 3890);
}

// |actual - expected| within `ulps` units in the last place of expected.
::testing::AssertionResult within_ulps(double actual, double expected, double ulps) {
  const double tolerance = ulps * (std::nextafter(std::fabs(expected), kInf) - std::fabs(expected));
  if (std::fabs(actual - expected) <= tolerance) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << actual << " is not within " << ulps << " ulps of " << expected;
}

TEST(Percentile, ClosedFormKindsReadTheirQuantileFunction) {
  // Standard normal quantiles to 17 digits.
  const Distribution z = Distribution::normal(0, 1);
  EXPECT_TRUE(within_ulps(z.percentile(0.05), -1.6448536269514729, 2));
  EXPECT_TRUE(within_ulps(z.percentile(0.95), 1.6448536269514729, 2));
  EXPECT_TRUE(within_ulps(z.percentile(0.975), 1.959963984540054, 2));
  EXPECT_TRUE(within_ulps(z.percentile(1e-10), -6.361340902404056, 4));
  EXPECT_EQ(z.percentile(0.5), 0.0);
  // Location and scale; a negative std draws like its magnitude.
  EXPECT_TRUE(within_ulps(Distribution::normal(10, 2).percentile(0.05), 10 - 2 * 1.6448536269514729, 2));
  EXPECT_EQ(Distribution::normal(1, -2).percentile(0.05), Distribution::normal(1, 2).percentile(0.05));

  EXPECT_EQ(Distribution::uniform(2, 6).percentile(0.25), 3);
  EXPECT_EQ(Distribution::uniform(2, 6).percentile(0.5), 4);
  EXPECT_EQ(Distribution::uniform(-1, 1).percentile(0.95), 0.8999999999999999);

  // Beta: symmetric median; Beta(a, 1) has quantile p^(1/a), Beta(1, b)
  // 1 - (1 - p)^(1/b).
  EXPECT_TRUE(within_ulps(Distribution::beta(2, 2).percentile(0.5), 0.5, 2));
  EXPECT_TRUE(within_ulps(Distribution::beta(3, 1).percentile(0.05), std::cbrt(0.05), 8));
  EXPECT_TRUE(within_ulps(Distribution::beta(1, 4).percentile(0.95), 1 - std::pow(0.05, 0.25), 8));
  EXPECT_TRUE(within_ulps(Distribution::beta(0.5, 0.5).percentile(0.25), 0.5 - std::sqrt(0.5) / 2, 8));

  // Gamma(1, rate) is exponential: -log(1 - p) / rate. Gamma(2, 1) solves
  // 1 - e^-x (1 + x) = p. The rate divides.
  EXPECT_TRUE(within_ulps(Distribution::gamma(1, 2).percentile(0.5), std::log(2.0) / 2, 8));
  EXPECT_TRUE(within_ulps(Distribution::gamma(1, 0.5).percentile(0.95), -std::log(0.05) * 2, 8));
  for (const double p : {0.05, 0.5, 0.95}) {
    const double x = Distribution::gamma(2, 1).percentile(p);
    EXPECT_NEAR(1 - std::exp(-x) * (1 + x), p, 1e-15) << p;
    EXPECT_TRUE(within_ulps(Distribution::gamma(2, 4).percentile(p), x / 4, 2)) << p;
  }
  EXPECT_TRUE(within_ulps(Distribution::gamma(2, 1).percentile(0.5), 1.6783469900166608, 8));

  // LogNormal: exp of the normal quantile of the log.
  EXPECT_TRUE(within_ulps(Distribution::lognormal(0.5, 2).percentile(0.5), std::exp(0.5), 2));
  EXPECT_TRUE(within_ulps(Distribution::lognormal(0, 1).percentile(0.05), std::exp(-1.6448536269514729), 4));
  EXPECT_TRUE(within_ulps(Distribution::lognormal(1, 0.5).percentile(0.95), std::exp(1 + 0.5 * 1.6448536269514729), 4));

  // Summaries carry the same values.
  const PortSummary s = Distribution::uniform(0, 1).summary();
  EXPECT_EQ(s.mean, 0.5);
  EXPECT_EQ(s.p5, 0.05);
  EXPECT_EQ(s.p50, 0.5);
  EXPECT_EQ(s.p95, 0.95);
  EXPECT_EQ(z.summary().to_string(), "mean=0.0000  std=1.0000  [p5=-1.6449, p50=0.0000, p95=1.6449]");
}

TEST(Percentile, ClosedFormReadsRepeatAndIgnoreTheGenerator) {
  for (const Distribution& d : {Distribution::normal(0, 1), Distribution::uniform(0, 3), Distribution::beta(2, 5),
                                Distribution::gamma(0.3, 2), Distribution::lognormal(0, 1)}) {
    Rng a(100);
    Rng b(200);
    for (const double p : {0.05, 0.5, 0.95}) {
      const double first = d.percentile(p);
      EXPECT_EQ(d.percentile(p), first) << d.to_string() << " p=" << p;
      EXPECT_EQ(d.percentile_with_rng(p, a), first) << d.to_string();
      EXPECT_EQ(d.percentile_with_rng(p, b), first) << d.to_string();
    }
    const PortSummary s1 = d.summary();
    const PortSummary s2 = d.summary_with_rng(a);
    EXPECT_EQ(s1.to_string(), s2.to_string());
    EXPECT_EQ(s1.p5, d.percentile(0.05));
    // Quantiles are ordered and inside the support.
    EXPECT_LT(s1.p5, s1.p50) << d.to_string();
    EXPECT_LT(s1.p50, s1.p95) << d.to_string();
  }
}

TEST(Percentile, ClosedFormBoundsClampingAndNan) {
  struct Case {
    Distribution d;
    double low, high;
  };
  const Case cases[] = {
      {Distribution::normal(3, 2), -kInf, kInf},      {Distribution::uniform(-2, 5), -2, 5},
      {Distribution::beta(2, 3), 0, 1},               {Distribution::beta(0.2, 0.3), 0, 1},
      {Distribution::gamma(0.5, 3), 0, kInf},         {Distribution::gamma(40, 0.1), 0, kInf},
      {Distribution::lognormal(-1, 3), 0, kInf},
  };
  for (const Case& c : cases) {
    const std::string name = c.d.to_string();
    EXPECT_EQ(c.d.percentile(0), c.low) << name;
    EXPECT_EQ(c.d.percentile(1), c.high) << name;
    EXPECT_EQ(c.d.percentile(-0.5), c.low) << name;
    EXPECT_EQ(c.d.percentile(-kInf), c.low) << name;
    EXPECT_EQ(c.d.percentile(2), c.high) << name;
    EXPECT_EQ(c.d.percentile(kInf), c.high) << name;
    EXPECT_EQ(c.d.percentile(kNaN), c.low) << name;  // NaN reads as 0
    // Extreme but valid p stay finite, ordered and inside the support.
    const double tiny = c.d.percentile(1e-300);
    const double near_one = c.d.percentile(std::nextafter(1.0, 0.0));
    EXPECT_FALSE(std::isnan(tiny)) << name;
    EXPECT_FALSE(std::isnan(near_one)) << name;
    EXPECT_GE(tiny, c.low) << name;
    EXPECT_LE(near_one, c.high) << name;
    EXPECT_LE(tiny, near_one) << name;
  }
  // Uniform's upper quantile never passes high, even where low + p * width
  // would round up to it.
  EXPECT_LE(Distribution::uniform(0.1, 0.7).percentile(std::nextafter(1.0, 0.0)), 0.7);
}

TEST(Percentile, ClosedFormEdgeParametersNeverThrow) {
  // Point masses the sampler also produces: std 0, sigma 0, an infinite or
  // NaN location, a rate of 0 (infinite scale).
  EXPECT_EQ(Distribution::normal(2, 0).percentile(0), 2);
  EXPECT_EQ(Distribution::normal(2, 0).percentile(0.3), 2);
  EXPECT_EQ(Distribution::normal(kInf, 1).percentile(0), kInf);
  EXPECT_TRUE(std::isnan(Distribution::normal(kNaN, 1).percentile(0.5)));
  EXPECT_EQ(Distribution::lognormal(1, 0).percentile(1), std::exp(1.0));
  EXPECT_EQ(Distribution::lognormal(-kInf, 1).percentile(0.5), 0);
  EXPECT_EQ(Distribution::gamma(2, 0).percentile(0.5), kInf);
  EXPECT_EQ(Distribution::gamma(2, 0).percentile(0), 0);
  // Parameters outside the quantile functions' domain give NaN, not an
  // exception.
  EXPECT_TRUE(std::isnan(Distribution::beta(kInf, 2).percentile(0.5)));
  EXPECT_TRUE(std::isnan(Distribution::gamma(kInf, 1).percentile(0.5)));
  // Huge and tiny shapes still answer inside the support.
  for (const Distribution& d : {Distribution::gamma(1e-300, 1), Distribution::gamma(1e300, 1),
                                Distribution::beta(1e-300, 1e-300), Distribution::beta(1e300, 1)}) {
    for (const double p : {1e-300, 0.05, 0.5, 0.95}) {
      const double q = d.percentile(p);
      EXPECT_TRUE(std::isnan(q) || q >= 0) << d.to_string() << " p=" << p;
    }
  }
}

TEST(Percentile, InvalidParametersKeepTheirFallbackConstant) {
  for (const double p : {0.0, 0.05, 0.5, 1.0, kNaN}) {
    EXPECT_EQ(Distribution::normal(1, kInf).percentile(p), 1) << p;
    EXPECT_EQ(Distribution::normal(1, kNaN).percentile(p), 1) << p;
    EXPECT_EQ(Distribution::beta(0, 1).percentile(p), 0) << p;
    EXPECT_EQ(Distribution::beta(-1, 3).percentile(p), -0.5) << p;
    EXPECT_TRUE(std::isnan(Distribution::beta(kNaN, 1).percentile(p))) << p;
    EXPECT_EQ(Distribution::gamma(0, 1).percentile(p), 0) << p;
    EXPECT_EQ(Distribution::gamma(2, -1).percentile(p), -2) << p;
    EXPECT_EQ(Distribution::gamma(2, kInf).percentile(p), 0) << p;
    EXPECT_EQ(Distribution::lognormal(0, kInf).percentile(p), 1) << p;
    EXPECT_EQ(Distribution::lognormal(2, -kInf).percentile(p), std::exp(2.0)) << p;
  }
  EXPECT_EQ(Distribution::gamma(0, 1).summary().to_string(),
            "mean=0.0000  std=0.0000  [p5=0.0000, p50=0.0000, p95=0.0000]");
}

// Shapes from subnormal to the largest double, on both sides of the range the
// exact inverses serve (up to 1e5), against p from 0 to 1. Each read must
// return promptly (a read that loops without end times the test out), never
// throw, stay inside the support and not fall as p rises.
TEST(Percentile, ExtremeShapesAnswerInsideTheSupport) {
  const double shapes[] = {std::numeric_limits<double>::denorm_min(), 1e-310, 1e-300, 1e-10, 0.5, 1, 2, 1e3,
                           1e5, 1.5e5, 1e10, 3.69e19, 1e25, 1e50, 1e300, std::numeric_limits<double>::max()};
  const double ps[] = {0, std::numeric_limits<double>::denorm_min(), 1e-300, 0.05, 0.5, 0.95, 1 - 1e-16,
                       std::nextafter(1.0, 0.0), 1};
  const auto check = [&ps](const Distribution& d, double high) {
    double previous = 0.0;
    for (const double p : ps) {
      double q = kNaN;
      EXPECT_NO_THROW(q = d.percentile(p)) << d.to_string() << " p=" << p;
      EXPECT_TRUE(q >= 0.0 && q <= high) << d.to_string() << " p=" << p << " gives " << q;
      EXPECT_GE(q, previous) << d.to_string() << " p=" << p;
      previous = q;
    }
  };
  for (const double a : shapes) {
    for (const double b : shapes) check(Distribution::beta(a, b), 1.0);
    for (const double rate : {std::numeric_limits<double>::denorm_min(), 1e-300, 1.0, 1e300}) {
      check(Distribution::gamma(a, rate), kInf);
    }
  }
}

TEST(Percentile, ApproximationsPastTheExactRangeJoinIt) {
  // Just inside and just past the largest shape the exact inverses take: the
  // two reads differ by far less than the distribution's spread.
  for (const double p : {1e-10, 0.05, 0.5, 0.95}) {
    // Gamma: Wilson-Hilferty past the range. Standard deviation about 316.
    EXPECT_NEAR(Distribution::gamma(1e5, 1).percentile(p), Distribution::gamma(1e5 + 1e-6, 1).percentile(p), 0.05)
        << p;
    // Beta with one small shape: the small shape's gamma over the large one.
    const double small = Distribution::beta(2, 1e5).percentile(p);
    EXPECT_NEAR(Distribution::beta(2, 1e5 + 1e-6).percentile(p) / small, 1, 1e-2) << p;
    const double mirrored = 1 - Distribution::beta(2, 1e5).percentile(1 - p);
    EXPECT_NEAR((1 - Distribution::beta(1e5 + 1e-6, 2).percentile(p)) / (1 - mirrored), 1, 1e-2) << p;
    // Beta with both shapes large: the normal with the same mean and variance.
    // Standard deviation about 1.4e-4.
    EXPECT_NEAR(Distribution::beta(5e3, 1e5 + 1e-6).percentile(p), Distribution::beta(5e3, 1e5).percentile(p),
                1e-5)
        << p;
  }
  // The pair whose exact inverse raised from the library's root finder: the
  // quantile of Gamma(2) (1.678...) over the large shape.
  EXPECT_NEAR(Distribution::beta(2, 3.69e19).percentile(0.5) * 3.69e19, 1.6783469900166608, 1e-6);
  EXPECT_NEAR(Distribution::beta(3.69e19, 2).percentile(0.5), 1.0, 1e-15);
  // Huge gamma shapes: Wilson-Hilferty is exact to many digits there.
  EXPECT_NEAR(Distribution::gamma(1e20, 1).percentile(0.95) / 1e20, 1 + 1.6448536269514729e-10, 1e-15);
  EXPECT_EQ(Distribution::gamma(1e300, 1e290).percentile(0.5), 1e10);
  // Subnormal gamma shapes keep all their mass at 0.
  EXPECT_EQ(Distribution::gamma(std::numeric_limits<double>::denorm_min(), 1).percentile(0.95), 0);
}

TEST(Percentile, NanTolerantStableSort) {
  Rng rng(110);
  for (const std::size_t n : {0, 1, 2, 19, 20, 21, 41, 1000, 4097}) {
    std::vector<double> v = Distribution::normal(0, 1).sample_n_with_rng(n, rng);
    std::vector<double> expected = v;
    std::sort(expected.begin(), expected.end());
    nan_tolerant_stable_sort(v);
    EXPECT_EQ(v, expected) << n;
  }
  // Stability: 0.0 and -0.0 compare equal and keep their order.
  std::vector<double> zeros;
  for (int i = 0; i < 100; ++i) zeros.push_back(i % 3 == 0 ? -0.0 : (i % 3 == 1 ? 0.0 : 1.0 - i));
  std::vector<bool> signs_before;
  for (const double x : zeros)
    if (x == 0.0) signs_before.push_back(std::signbit(x));
  nan_tolerant_stable_sort(zeros);
  std::vector<bool> signs_after;
  for (const double x : zeros)
    if (x == 0.0) signs_after.push_back(std::signbit(x));
  EXPECT_EQ(signs_before, signs_after);
  // NaNs anywhere: nothing lost or duplicated, and percentiles still answer.
  std::vector<double> with_nan = Distribution::normal(0, 1).sample_n_with_rng(500, rng);
  for (std::size_t i = 0; i < with_nan.size(); i += 7) with_nan[i] = kNaN;
  std::vector<double> sorted = with_nan;
  nan_tolerant_stable_sort(sorted);
  const auto nans = [](const std::vector<double>& s) { return std::count_if(s.begin(), s.end(), [](double x) { return std::isnan(x); }); };
  EXPECT_EQ(nans(sorted), nans(with_nan));
  std::vector<double> a;
  std::vector<double> b;
  std::copy_if(with_nan.begin(), with_nan.end(), std::back_inserter(a), [](double x) { return !std::isnan(x); });
  std::copy_if(sorted.begin(), sorted.end(), std::back_inserter(b), [](double x) { return !std::isnan(x); });
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  EXPECT_EQ(a, b);
  (void)Distribution::empirical(with_nan).percentile(0.5);
}

// --- generator, sharing, threads ---------------------------------------------------

TEST(Generator, FreshGeneratorsDoNotShareAStream) {
  Rng a = Rng::from_entropy();
  Rng b = Rng::from_entropy();
  std::vector<std::uint64_t> sa;
  std::vector<std::uint64_t> sb;
  for (int i = 0; i < 4; ++i) {
    sa.push_back(a.next_u64());
    sb.push_back(b.next_u64());
  }
  EXPECT_NE(sa, sb);
  // Each thread has its own generator, seeded separately.
  std::uint64_t other = 0;
  Rng* other_address = nullptr;
  std::thread t([&] {
    other = thread_rng().next_u64();
    other_address = &thread_rng();
  });
  t.join();
  EXPECT_NE(other, thread_rng().next_u64());
  EXPECT_NE(other_address, &thread_rng());
  EXPECT_EQ(&thread_rng(), &thread_rng());
  // Seeded generators are reproducible; unit draws stay in [0, 1).
  Rng c(5);
  Rng d(5);
  for (int i = 0; i < 1000; ++i) {
    const double u = c.next_unit();
    ASSERT_EQ(u, d.next_unit());
    ASSERT_TRUE(u >= 0.0 && u <= kMaxUnit);
  }
  EXPECT_EQ(Rng::unit_from_bits(~std::uint64_t{0}), kMaxUnit);
}

TEST(Sharing, EmpiricalCopiesShareOneVectorAcrossThreads) {
  const Distribution d = Distribution::empirical({1, 2, 3, 4, 5});
  const Distribution copy = d;
  EXPECT_EQ(copy.samples().get(), d.samples().get());
  EXPECT_EQ(d.samples().use_count(), 2);
  std::vector<std::thread> threads;
  std::vector<double> medians(4);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      DistMap m;
      for (int j = 0; j < 200; ++j) m.insert_or_assign("x", d);  // copies across threads
      const std::vector<double> s = m.at("x").sample_n(1000);
      medians[static_cast<std::size_t>(i)] = std::all_of(s.begin(), s.end(), [](double x) { return x >= 1 && x <= 5; })
                                                 ? m.at("x").percentile(0.5)
                                                 : -1;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(medians, (std::vector<double>{3, 3, 3, 3}));
  EXPECT_EQ(d.samples().use_count(), 2);
}

TEST(DistTransfer, WrapsAFunctionAndAnswersNothingWhenEmpty) {
  const auto doubled = make_dist_transfer([](const DistMap& in) -> std::optional<DistMap> {
    const Distribution& x = in.at("x");
    return DistMap{{"y", Distribution::normal(2 * x.mean(), 2 * x.std_dev())}};
  });
  const std::optional<DistMap> out = (*doubled)(DistMap{{"x", Distribution::normal(1, 3)}});
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->at("y").to_string(), "Normal(μ=2, σ=6)");
  EXPECT_FALSE(DistTransferFn{}(DistMap{}).has_value());
}

}  // namespace
}  // namespace quillon
