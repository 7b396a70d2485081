// Probability densities of the closed-form distributions, and the sampled
// curve a plot of one draws.
//
// Plain functions of their arguments, safe from any thread; they never throw
// and return promptly for any parameters.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "distribution/distribution.hpp"

namespace quillon {

// The density at x of a Normal, Uniform, Beta, Gamma or LogNormal whose
// parameters describe a proper distribution (0 outside its support). NaN for
// Deterministic and Empirical, and for parameters under which every draw is
// one constant (a zero or non-finite spread, non-positive shapes or rate)
// or sampling fails.
double density(const Distribution& dist, double x);

// Whether density() describes `dist`: a closed form with proper parameters.
bool has_density(const Distribution& dist);

// `points` evenly spaced x (at least 2) and the density at each, spanning
// the 0.1st to the 99.9th percentile (a Uniform: its bounds widened by 5% of
// its width on both sides, so its edges show). Nullopt where has_density is
// false or that span is empty or not finite.
struct DensityCurve {
  std::vector<double> x;
  std::vector<double> density;
};
std::optional<DensityCurve> density_curve(const Distribution& dist, std::size_t points);

}  // namespace quillon
