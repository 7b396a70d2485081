// Quantile functions of the closed-form distributions, in standard form (unit
// scale, unit rate): the inverse of each distribution function.
//
// Plain functions of their arguments, safe to call from any thread. None of
// them throws and each returns in bounded time whatever its arguments: where
// the exact inverse is out of reach (shapes beyond the ranges named in
// quantile.cpp) they return an approximation that stays inside the support
// and rises with p. p is a fraction in [0, 1]; 0 and 1 give the bounds of the
// support, infinite where it is unbounded. A NaN or infinite shape has no
// quantile and gives NaN.
#pragma once

namespace quillon {

// z with Phi(z) = p for the standard normal; -inf at 0, +inf at 1.
double standard_normal_quantile(double p);

// x in [0, 1] with I_x(alpha, beta) = p. Requires: alpha > 0 and beta > 0.
double beta_quantile(double alpha, double beta, double p);

// x in [0, inf] with P(shape, x) = p for the Gamma(shape, rate 1)
// distribution. Requires: shape > 0.
double gamma_quantile(double shape, double p);

}  // namespace quillon
