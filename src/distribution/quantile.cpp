#include "distribution/quantile.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include <boost/math/special_functions/beta.hpp>
#include <boost/math/special_functions/erf.hpp>
#include <boost/math/special_functions/gamma.hpp>

namespace quillon {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Boost.Math reports errors through the return value (NaN, or an infinity for
// a pole or an overflow) and stops its root searches and series after a
// bounded number of steps. That alone is not enough: some of its root finders
// raise with the library's own default policy (beta(2, 3.69e19) at p = 0.5
// raises "Range arguments in wrong order"), and the beta inverse loops without
// end for some pairs of large shapes (1e25 and 1e25, 1e50 and 1e5). So every
// call sits inside `guarded`, and calls are made only for shapes up to
// kExactShapeLimit, a range swept over tiny, subnormal and large shapes and
// extreme p and found to answer within a few milliseconds at worst.
namespace bmp = boost::math::policies;
using QuantilePolicy = bmp::policy<
    bmp::domain_error<bmp::ignore_error>, bmp::pole_error<bmp::ignore_error>,
    bmp::overflow_error<bmp::ignore_error>, bmp::underflow_error<bmp::ignore_error>,
    bmp::denorm_error<bmp::ignore_error>, bmp::evaluation_error<bmp::ignore_error>,
    bmp::rounding_error<bmp::ignore_error>, bmp::indeterminate_result_error<bmp::ignore_error>,
    bmp::max_root_iterations<200>, bmp::max_series_iterations<1000000>>;

// Largest shape handed to the exact inverses (both shapes, for the beta).
constexpr double kExactShapeLimit = 1e5;
// Past kExactShapeLimit, a beta whose smaller shape exceeds this is read as a
// normal; one whose smaller shape is at most this, through its larger shape's
// gamma taken at its mean (see beta_quantile).
constexpr double kBetaNormalShape = 1e3;

// The call's result, or NaN when it throws.
template <typename Call>
double guarded(Call call) noexcept {
  try {
    return call();
  } catch (...) {
    return kNaN;
  }
}

// Wilson–Hilferty: (X / shape)^(1/3) is close to normal with mean
// 1 - 1/(9 shape) and variance 1/(9 shape). Off by about 1e-5 standard
// deviations in the body and 5e-3 at p = 1e-300 for shape 1e5, and closer for
// larger shapes. Rises with z; never below 0.
double wilson_hilferty(double shape, double z) {
  const double c = 1.0 / (9.0 * shape);
  const double base = 1.0 - c + z * std::sqrt(c);
  return base <= 0.0 ? 0.0 : shape * base * base * base;
}

// x with P(shape, x) = p, or with Q(shape, x) = p when `upper` (then x falls
// as p rises). Requires: 0 < p < 1, shape > 0.
double gamma_inverse(double shape, double p, bool upper) {
  if (!std::isfinite(shape)) return kNaN;
  if (shape <= kExactShapeLimit) {
    const double x = guarded([&] {
      return upper ? boost::math::gamma_q_inv(shape, p, QuantilePolicy())
                   : boost::math::gamma_p_inv(shape, p, QuantilePolicy());
    });
    if (x >= 0.0) return x;
    if (shape <= 1.0) {
      // Subnormal shapes come back as NaN. All their mass lies where
      // P(shape, x) ~ x^shape / Gamma(shape + 1), which inverts directly (and
      // underflows to 0 for any p not extremely close to 1).
      const double log_lower = upper ? std::log1p(-p) : std::log(p);
      return std::exp((log_lower + std::lgamma(shape + 1.0)) / shape);
    }
  }
  const double z = standard_normal_quantile(p);
  return wilson_hilferty(shape, upper ? -z : z);
}

}  // namespace

double standard_normal_quantile(double p) {
  if (p <= 0.0) return -kInf;
  if (p >= 1.0) return kInf;
  // z = -sqrt(2) * erfc^-1(2p): both tails stay accurate, unlike 1 - 2p.
  return -std::numbers::sqrt2 * guarded([p] { return boost::math::erfc_inv(2.0 * p, QuantilePolicy()); });
}

double gamma_quantile(double shape, double p) {
  if (std::isnan(p)) return kNaN;
  if (p <= 0.0) return 0.0;
  if (p >= 1.0) return kInf;
  return gamma_inverse(shape, p, false);
}

// The exact inverse serves shapes up to kExactShapeLimit. Past it (or should
// the inverse fail inside it), X = G_a / (G_a + G_b) for independent unit-rate
// gammas gives the rule:
//  - both shapes above kBetaNormalShape: X is close to normal (skewness below
//    about 2 / sqrt(smaller shape)); read the normal with X's mean and
//    variance, corrected for the skewness, clamped to [0, 1];
//  - otherwise one shape dwarfs the other. The large gamma's spread moves X by
//    a factor sqrt(small / large) less than the small one's, so hold it at its
//    mean and invert the small one: x = g / (g + b) with g the quantile of
//    G_a when a is the smaller, x = a / (a + g) with g the upper quantile of
//    G_b otherwise (no cancellation near 1).
// Each branch depends on the shapes only and rises with p.
double beta_quantile(double alpha, double beta, double p) {
  if (std::isnan(p)) return kNaN;
  if (p <= 0.0) return 0.0;
  if (p >= 1.0) return 1.0;
  if (!std::isfinite(alpha) || !std::isfinite(beta)) return kNaN;
  if (alpha <= kExactShapeLimit && beta <= kExactShapeLimit) {
    const double x = guarded([&] { return boost::math::ibeta_inv(alpha, beta, p, QuantilePolicy()); });
    if (x >= 0.0 && x <= 1.0) return x;
  }
  if (std::min(alpha, beta) > kBetaNormalShape) {
    // Ratios rather than sums, which may overflow for shapes near the double
    // maximum (the variance then rounds to 0 and the mean is returned).
    const double mean = 1.0 / (1.0 + beta / alpha);
    const double complement = 1.0 / (1.0 + alpha / beta);
    const double n = alpha + beta;
    const double sd = std::sqrt(mean * complement / (n + 1.0));
    // Cornish-Fisher's skewness term. Its slope 1 + skew * z / 3 stays
    // positive for every z a double p reaches (|z| < 39, |skew| < 0.07).
    const double skew =
        std::isinf(n) ? 0.0
                      : 2.0 * (complement - mean) / std::sqrt(mean * complement) * std::sqrt(n + 1.0) / (n + 2.0);
    const double z = standard_normal_quantile(p);
    return std::clamp(mean + sd * (z + skew / 6.0 * (z * z - 1.0)), 0.0, 1.0);
  }
  if (alpha <= beta) {
    const double g = gamma_inverse(alpha, p, false);
    return std::isinf(g) ? 1.0 : g / (g + beta);
  }
  const double g = gamma_inverse(beta, p, true);
  return alpha / (alpha + g);
}

}  // namespace quillon
