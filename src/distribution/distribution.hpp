// Distribution: the immutable univariate distribution value of the
// uncertainty layer, with its closed-form moments, percentiles, summary and
// text forms.
//
// Seven kinds: Deterministic, Normal, Uniform, Beta, Gamma, LogNormal and
// Empirical. Constructors store their parameters unchecked; what an odd
// parameter does is decided per operation (sampling falls back to a constant
// per kind, except an unsampleable Uniform, which throws DistributionError).
// A Distribution is cheap to copy: the parametric kinds hold two doubles, an
// Empirical shares one immutable sample vector through an atomic reference
// count. Any number of threads may read one Distribution at once; sampling
// touches only the generator passed in (or the calling thread's own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "distribution/random.hpp"
#include "samples.hpp"

namespace quillon {

enum class DistributionKind : std::uint8_t {
  kDeterministic = 0,
  kNormal = 1,
  kUniform = 2,
  kBeta = 3,
  kGamma = 4,
  kLogNormal = 5,
  kEmpirical = 6,
};

// Texts of the two sampling errors; callers forward them unchanged.
inline constexpr char kUniformOrderError[] = "Uniform::new called with `low >= high`";
inline constexpr char kUniformRangeError[] = "Uniform::new: range overflow";

// The one error of this layer: drawing from a Uniform whose bounds are not
// strictly ordered or whose width overflows. what() is one of the texts above.
class DistributionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};


// Mean, spread and three percentiles of one distribution.
struct PortSummary {
  double mean = 0.0;
  double std = 0.0;
  double variance = 0.0;
  double p5 = 0.0;
  double p50 = 0.0;
  double p95 = 0.0;

  // "mean=2.0000  std=0.0000  [p5=2.0000, p50=2.0000, p95=2.0000]"
  std::string to_string() const;
};

class Distribution {
 public:
  static Distribution deterministic(double value);
  static Distribution normal(double mean, double std);
  static Distribution uniform(double low, double high);
  static Distribution beta(double alpha, double beta);
  static Distribution gamma(double shape, double rate);
  static Distribution lognormal(double mu, double sigma);
  static Distribution empirical(std::vector<double> samples);
  // Shares `samples`; a null pointer stands for no samples.
  static Distribution empirical(SampleVector samples);

  DistributionKind kind() const { return kind_; }

  // Parameters in their documented order: value; mean, std; low, high;
  // alpha, beta; shape, rate; mu, sigma. Absent parameters read as 0.
  double first_param() const { return a_; }
  double second_param() const { return b_; }

  // The shared sample vector of an Empirical (never null for one); null for
  // every other kind.
  const SampleVector& samples() const { return samples_; }

  // n independent draws. Throws DistributionError for an unsampleable
  // Uniform, whatever n is (the bounds are checked before drawing).
  std::vector<double> sample_n_with_rng(std::size_t n, Rng& rng) const;
  std::vector<double> sample_n_with_rng(std::size_t n, Rng&& rng) const { return sample_n_with_rng(n, rng); }
  // Draws with the calling thread's generator.
  std::vector<double> sample_n(std::size_t n) const { return sample_n_with_rng(n, thread_rng()); }
  // Fills `out` with out.size() draws; same draws and errors as
  // sample_n_with_rng without the allocation.
  void sample_into(std::span<double> out, Rng& rng) const;
  // One draw: sample_n_with_rng(1, rng)[0].
  double sample_one(Rng& rng) const;

  // The text sampling would throw, or nullptr when sampling works.
  const char* sampling_error() const;

  double mean() const;
  double variance() const;
  double std_dev() const;

  // p is a fraction in [0, 1], clamped; NaN reads as 0. Normal, Uniform,
  // Beta, Gamma and LogNormal return their exact quantile (p = 0 and 1 give
  // the bounds of the support, infinite where it is unbounded; Beta and Gamma
  // shapes past the exact inverses' range read an approximation inside the
  // support, quantile.hpp); where their sampling check fails they return its
  // fallback constant. Empirical sorts a copy of its samples and takes the
  // element at round(p * (n - 1)). Deterministic returns its value. Draws
  // nothing, returns promptly for any parameters; throws like sampling (an
  // unsampleable Uniform).
  double percentile(double p) const;
  // Same as percentile(p); the generator is not used.
  double percentile_with_rng(double p, Rng& /*rng*/) const { return percentile(p); }

  // Moments and the percentiles at 0.05, 0.5 and 0.95, as above.
  PortSummary summary() const;
  PortSummary summary_with_rng(Rng& /*rng*/) const { return summary(); }

  // "Normal(μ=0, σ=1)", "Empirical(n=3, μ≈2.0000)", ...
  std::string to_string() const;

 private:
  Distribution(DistributionKind kind, double a, double b) : kind_(kind), a_(a), b_(b) {}

  DistributionKind kind_;
  double a_;
  double b_;
  SampleVector samples_;
};

// Distributions by variable name.
using DistMap = std::unordered_map<std::string, Distribution>;

// Stable ascending sort in which any comparison involving NaN counts as
// "equal"; NaNs never break it, though where they land is left open.
// Insertion sort up to 20 elements, merge sort above.
void nan_tolerant_stable_sort(std::vector<double>& values);

}  // namespace quillon
