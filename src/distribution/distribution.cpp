#include "distribution/distribution.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "distribution/format.hpp"
#include "distribution/quantile.hpp"

namespace quillon {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void fill(std::span<double> out, double value) { std::fill(out.begin(), out.end(), value); }

// Width w used for drawing low + u * w with u in [0, kMaxUnit]: the largest
// double not above high - low for which even the largest u stays below high.
// Throws when the bounds cannot be sampled.
double uniform_width(double low, double high) {
  if (!(low < high)) throw DistributionError(kUniformOrderError);
  const double width = high - low;
  if (!std::isfinite(width)) throw DistributionError(kUniformRangeError);
  // Written exactly as a draw is computed, so the bound holds for every draw.
  const auto reaches_high = [low, high](double w) { return kMaxUnit * w + low >= high; };
  if (!reaches_high(width)) return width;
  // reaches_high is monotone in w and false at w = 0 (low < high). Non-negative
  // doubles order like their bit patterns, so search over the patterns rather
  // than stepping down one double at a time (up to 2^52 steps for bounds one
  // double apart): gallop down from the width (the answer is usually a few
  // doubles below it), then bisect. Invariant: good_bits passes, bad_bits
  // fails.
  std::uint64_t bad_bits = std::bit_cast<std::uint64_t>(width);
  std::uint64_t good_bits = 0;
  for (std::uint64_t step = 1;; step *= 2) {
    const std::uint64_t candidate = bad_bits > step ? bad_bits - step : 0;
    if (!reaches_high(std::bit_cast<double>(candidate))) {
      good_bits = candidate;
      break;
    }
    bad_bits = candidate;
  }
  while (bad_bits - good_bits > 1) {
    const std::uint64_t mid = good_bits + (bad_bits - good_bits) / 2;
    if (reaches_high(std::bit_cast<double>(mid))) {
      bad_bits = mid;
    } else {
      good_bits = mid;
    }
  }
  return std::bit_cast<double>(good_bits);
}

// Quantile of Normal(mean, |std|) for p in [0, 1]. A point mass (std 0, or an
// infinite or NaN mean, which every draw equals) gives the mean whatever p is.
double normal_quantile(double p, double mean, double std) {
  if (std == 0.0 || !std::isfinite(mean)) return mean;
  return mean + std::fabs(std) * standard_normal_quantile(p);
}

// Stable merge of the sorted runs [first, mid) and [mid, last) through `buf`;
// the right element goes first only when it is strictly smaller.
void merge_runs(double* first, double* mid, double* last, double* buf) {
  double* left = first;
  double* right = mid;
  double* out = buf;
  while (left != mid && right != last) *out++ = (*right < *left) ? *right++ : *left++;
  out = std::copy(left, mid, out);
  out = std::copy(right, last, out);
  std::copy(buf, out, first);
}

void insertion_sort(double* first, double* last) {
  for (double* it = first + (first != last ? 1 : 0); it < last; ++it) {
    const double value = *it;
    double* hole = it;
    while (hole != first && value < *(hole - 1)) {
      *hole = *(hole - 1);
      --hole;
    }
    *hole = value;
  }
}

}  // namespace

void nan_tolerant_stable_sort(std::vector<double>& values) {
  // Every step only compares with `<` and moves whole elements, so a
  // comparison that is not a strict weak ordering (NaN) can misplace values
  // but never lose, duplicate or read past them.
  constexpr std::size_t kRun = 20;
  const std::size_t n = values.size();
  double* data = values.data();
  for (std::size_t start = 0; start < n; start += kRun) {
    insertion_sort(data + start, data + std::min(n, start + kRun));
  }
  if (n <= kRun) return;
  std::vector<double> buf(n);
  for (std::size_t width = kRun; width < n; width *= 2) {
    for (std::size_t start = 0; start + width < n; start += 2 * width) {
      merge_runs(data + start, data + start + width, data + std::min(n, start + 2 * width), buf.data());
    }
  }
}

std::string PortSummary::to_string() const {
  std::string out = "mean=";
  append_fixed(out, mean, 4);
  out += "  std=";
  append_fixed(out, std, 4);
  out += "  [p5=";
  append_fixed(out, p5, 4);
  out += ", p50=";
  append_fixed(out, p50, 4);
  out += ", p95=";
  append_fixed(out, p95, 4);
  out += ']';
  return out;
}

Distribution Distribution::deterministic(double value) { return {DistributionKind::kDeterministic, value, 0.0}; }
Distribution Distribution::normal(double mean, double std) { return {DistributionKind::kNormal, mean, std}; }
Distribution Distribution::uniform(double low, double high) { return {DistributionKind::kUniform, low, high}; }
Distribution Distribution::beta(double alpha, double beta) { return {DistributionKind::kBeta, alpha, beta}; }
Distribution Distribution::gamma(double shape, double rate) { return {DistributionKind::kGamma, shape, rate}; }
Distribution Distribution::lognormal(double mu, double sigma) { return {DistributionKind::kLogNormal, mu, sigma}; }

Distribution Distribution::empirical(std::vector<double> samples) {
  return empirical(make_samples(std::move(samples)));
}

Distribution Distribution::empirical(SampleVector samples) {
  Distribution d(DistributionKind::kEmpirical, 0.0, 0.0);
  d.samples_ = samples ? std::move(samples) : make_samples({});
  return d;
}

const char* Distribution::sampling_error() const {
  if (kind_ != DistributionKind::kUniform) return nullptr;
  if (!(a_ < b_)) return kUniformOrderError;
  if (!std::isfinite(b_ - a_)) return kUniformRangeError;
  return nullptr;
}

void Distribution::sample_into(std::span<double> out, Rng& rng) const {
  switch (kind_) {
    case DistributionKind::kDeterministic:
      fill(out, a_);
      return;
    case DistributionKind::kNormal:
      if (!std::isfinite(b_)) return fill(out, a_);
      for (double& x : out) x = a_ + b_ * standard_normal(rng);
      return;
    case DistributionKind::kUniform: {
      const double width = uniform_width(a_, b_);
      for (double& x : out) x = rng.next_unit() * width + a_;
      return;
    }
    case DistributionKind::kBeta: {
      if (!(a_ > 0.0 && b_ > 0.0)) return fill(out, a_ / (a_ + b_));
      const BetaSampler sampler(a_, b_);
      for (double& x : out) x = sampler(rng);
      return;
    }
    case DistributionKind::kGamma: {
      if (!(a_ > 0.0 && 1.0 / b_ > 0.0)) return fill(out, a_ / b_);
      // Dividing by the rate rather than multiplying by the scale 1 / rate
      // keeps a draw that underflowed to 0 at 0 when the scale overflows.
      const GammaSampler sampler(a_);
      for (double& x : out) x = sampler(rng) / b_;
      return;
    }
    case DistributionKind::kLogNormal:
      if (!std::isfinite(b_)) return fill(out, std::exp(a_));
      for (double& x : out) x = std::exp(a_ + b_ * standard_normal(rng));
      return;
    case DistributionKind::kEmpirical: {
      const std::size_t size = samples_->size();
      const double* s = samples_->data();
      if (size == 0) return fill(out, 0.0);
      // The indices of a batch are drawn ahead, each read announced as soon
      // as its index is known, and the batch is read while the next one's
      // indices are drawn: the reads of a large sample vector, mostly cache
      // misses, overlap instead of following one another. The draws are
      // those of one index and one read at a time.
      constexpr std::size_t kBatch = 64;
      std::array<std::size_t, 2 * kBatch> indices;
      auto draw_batch = [&](std::size_t* into, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k) {
          into[k] = uniform_index(size, rng);
          __builtin_prefetch(s + into[k]);
        }
      };
      std::size_t count = std::min(kBatch, out.size());
      draw_batch(indices.data(), count);
      for (std::size_t done = 0, half = 0; count != 0; half ^= 1) {
        const std::size_t next = std::min(kBatch, out.size() - done - count);
        draw_batch(indices.data() + (half ^ 1) * kBatch, next);
        const std::size_t* batch = indices.data() + half * kBatch;
        for (std::size_t k = 0; k < count; ++k) out[done + k] = s[batch[k]];
        done += count;
        count = next;
      }
      return;
    }
  }
}

std::vector<double> Distribution::sample_n_with_rng(std::size_t n, Rng& rng) const {
  if (const char* error = sampling_error()) throw DistributionError(error);
  std::vector<double> out(n);
  sample_into(out, rng);
  return out;
}

double Distribution::sample_one(Rng& rng) const {
  double x = 0.0;
  sample_into(std::span<double>(&x, 1), rng);
  return x;
}

double Distribution::mean() const {
  switch (kind_) {
    case DistributionKind::kDeterministic:
    case DistributionKind::kNormal:
      return a_;
    case DistributionKind::kUniform:
      return (a_ + b_) * 0.5;
    case DistributionKind::kBeta:
      return a_ / (a_ + b_);
    case DistributionKind::kGamma:
      return a_ / b_;
    case DistributionKind::kLogNormal:
      return std::exp(b_ * b_ * 0.5 + a_);
    case DistributionKind::kEmpirical: {
      const Samples& s = *samples_;
      if (s.empty()) return kNaN;
      double sum = 0.0;
      for (const double x : s) sum += x;
      return sum / static_cast<double>(s.size());
    }
  }
  return kNaN;
}

double Distribution::variance() const {
  switch (kind_) {
    case DistributionKind::kDeterministic:
      return 0.0;
    case DistributionKind::kNormal:
      return b_ * b_;
    case DistributionKind::kUniform: {
      const double width = b_ - a_;
      return width * width / 12.0;
    }
    case DistributionKind::kBeta: {
      const double sum = a_ + b_;
      return a_ * b_ / ((sum + 1.0) * (sum * sum));
    }
    case DistributionKind::kGamma:
      return a_ / (b_ * b_);
    case DistributionKind::kLogNormal: {
      const double s2 = b_ * b_;
      return std::expm1(s2) * std::exp(2.0 * a_ + s2);
    }
    case DistributionKind::kEmpirical: {
      const Samples& s = *samples_;
      if (s.size() <= 1) return 0.0;
      const double m = mean();
      double squares = 0.0;
      for (const double x : s) squares += (x - m) * (x - m);
      return squares / static_cast<double>(s.size() - 1);
    }
  }
  return kNaN;
}

double Distribution::std_dev() const { return std::sqrt(variance()); }

double Distribution::percentile(double p) const {
  if (kind_ == DistributionKind::kDeterministic) return a_;
  if (p < 0.0) {
    p = 0.0;
  } else if (p > 1.0) {
    p = 1.0;
  } else if (std::isnan(p)) {
    p = 0.0;  // as the first sorted element is for a sample set
  }
  // Closed-form kinds read their quantile function; where the parameter check
  // of sampling fails they return its fallback constant, which is what every
  // draw would be.
  switch (kind_) {
    case DistributionKind::kDeterministic:
      return a_;
    case DistributionKind::kNormal:
      if (!std::isfinite(b_)) return a_;
      return normal_quantile(p, a_, b_);
    case DistributionKind::kUniform: {
      if (const char* error = sampling_error()) throw DistributionError(error);
      if (p >= 1.0) return b_;
      return std::min(b_, a_ + p * (b_ - a_));
    }
    case DistributionKind::kBeta:
      if (!(a_ > 0.0 && b_ > 0.0)) return a_ / (a_ + b_);
      return beta_quantile(a_, b_, p);
    case DistributionKind::kGamma: {
      if (!(a_ > 0.0 && 1.0 / b_ > 0.0)) return a_ / b_;
      // Divided by the rate, as a draw is; 0 stays 0 when the rate is 0 (an
      // infinite scale).
      const double x = gamma_quantile(a_, p);
      return x == 0.0 ? 0.0 : x / b_;
    }
    case DistributionKind::kLogNormal:
      if (!std::isfinite(b_)) return std::exp(a_);
      return std::exp(normal_quantile(p, a_, b_));
    case DistributionKind::kEmpirical:
      break;
  }
  std::vector<double> work(samples_->begin(), samples_->end());
  if (work.empty()) return kNaN;
  nan_tolerant_stable_sort(work);
  const std::size_t last = work.size() - 1;
  // std::round rounds halves away from zero; the conversion saturates
  // (negatives give 0) and the index is capped at the last element.
  const double position = std::round(p * static_cast<double>(last));
  std::size_t index = 0;
  if (position > 0.0) {
    index = position >= 0x1.0p64 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(position);
  }
  return work[std::min(index, last)];
}

PortSummary Distribution::summary() const {
  PortSummary s;
  s.mean = mean();
  s.variance = variance();
  s.std = std::sqrt(s.variance);
  s.p5 = percentile(0.05);
  s.p50 = percentile(0.5);
  s.p95 = percentile(0.95);
  return s;
}

std::string Distribution::to_string() const {
  std::string out;
  const auto two = [&](const char* open, const char* middle) {
    out += open;
    append_shortest(out, a_);
    out += middle;
    append_shortest(out, b_);
    out += ')';
  };
  switch (kind_) {
    case DistributionKind::kDeterministic:
      out += "Deterministic(";
      append_shortest(out, a_);
      out += ')';
      break;
    case DistributionKind::kNormal:
      two("Normal(μ=", ", σ=");
      break;
    case DistributionKind::kUniform:
      two("Uniform(", ", ");
      break;
    case DistributionKind::kBeta:
      two("Beta(α=", ", β=");
      break;
    case DistributionKind::kGamma:
      two("Gamma(k=", ", λ=");
      break;
    case DistributionKind::kLogNormal:
      two("LogNormal(μ=", ", σ=");
      break;
    case DistributionKind::kEmpirical:
      out += "Empirical(n=";
      out += std::to_string(samples_->size());
      out += ", μ≈";
      append_fixed(out, mean(), 4);
      out += ')';
      break;
  }
  return out;
}

}  // namespace quillon
