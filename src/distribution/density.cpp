#include "distribution/density.hpp"

#include <cmath>
#include <limits>

#include <boost/math/distributions/lognormal.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/special_functions/beta.hpp>
#include <boost/math/special_functions/gamma.hpp>

namespace quillon {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Errors come back as NaN or infinities, never as exceptions; `guarded`
// catches what a policy does not cover.
namespace bmp = boost::math::policies;
using DensityPolicy =
    bmp::policy<bmp::domain_error<bmp::ignore_error>, bmp::pole_error<bmp::ignore_error>,
                bmp::overflow_error<bmp::ignore_error>, bmp::underflow_error<bmp::ignore_error>,
                bmp::denorm_error<bmp::ignore_error>, bmp::evaluation_error<bmp::ignore_error>>;

template <typename Call>
double guarded(Call call) noexcept {
  try {
    return call();
  } catch (...) {
    return kNaN;
  }
}

}  // namespace

bool has_density(const Distribution& dist) {
  const double a = dist.first_param();
  const double b = dist.second_param();
  switch (dist.kind()) {
    case DistributionKind::kNormal:
    case DistributionKind::kLogNormal:
      return std::isfinite(a) && std::isfinite(b) && b != 0.0;
    case DistributionKind::kUniform:
      return dist.sampling_error() == nullptr && std::isfinite(a) && std::isfinite(b);
    case DistributionKind::kBeta:
    case DistributionKind::kGamma:
      return a > 0.0 && b > 0.0 && std::isfinite(a) && std::isfinite(b);
    case DistributionKind::kDeterministic:
    case DistributionKind::kEmpirical:
      return false;
  }
  return false;
}

double density(const Distribution& dist, double x) {
  if (!has_density(dist) || std::isnan(x)) return kNaN;
  const double a = dist.first_param();
  const double b = dist.second_param();
  switch (dist.kind()) {
    case DistributionKind::kNormal:
      return guarded([&] {
        return boost::math::pdf(boost::math::normal_distribution<double, DensityPolicy>(a, std::fabs(b)), x);
      });
    case DistributionKind::kLogNormal:
      if (!(x > 0.0) || std::isinf(x)) return 0.0;
      return guarded([&] {
        return boost::math::pdf(boost::math::lognormal_distribution<double, DensityPolicy>(a, std::fabs(b)), x);
      });
    case DistributionKind::kUniform:
      return x >= a && x <= b ? 1.0 / (b - a) : 0.0;
    case DistributionKind::kBeta:
      if (x < 0.0 || x > 1.0) return 0.0;
      return guarded([&] { return boost::math::ibeta_derivative(a, b, x, DensityPolicy()); });
    case DistributionKind::kGamma:
      // Shape a, rate b: the density of X is b times that of the unit-rate
      // variable b * X.
      if (x < 0.0 || std::isinf(x)) return 0.0;
      return guarded([&] { return b * boost::math::gamma_p_derivative(a, b * x, DensityPolicy()); });
    case DistributionKind::kDeterministic:
    case DistributionKind::kEmpirical:
      break;
  }
  return kNaN;
}

std::optional<DensityCurve> density_curve(const Distribution& dist, std::size_t points) {
  if (!has_density(dist)) return std::nullopt;
  if (points < 2) points = 2;
  double low = 0.0;
  double high = 0.0;
  if (dist.kind() == DistributionKind::kUniform) {
    const double margin = 0.05 * (dist.second_param() - dist.first_param());
    low = dist.first_param() - margin;
    high = dist.second_param() + margin;
  } else {
    low = dist.percentile(0.001);
    high = dist.percentile(0.999);
  }
  if (!(low < high) || !std::isfinite(low) || !std::isfinite(high)) return std::nullopt;
  DensityCurve curve;
  curve.x.resize(points);
  curve.density.resize(points);
  const double step = (high - low) / static_cast<double>(points - 1);
  for (std::size_t k = 0; k < points; ++k) {
    curve.x[k] = k + 1 == points ? high : low + step * static_cast<double>(k);
    curve.density[k] = density(dist, curve.x[k]);
  }
  return curve;
}

}  // namespace quillon
