// JointSample: the variables of a particle propagation seen together — their
// covariance, Pearson and Spearman correlation, marginal summaries and a
// printable summary table.
//
// A variable's value on a particle counts only where the particle has one:
// particles a variable is absent from (a draw that failed before reaching
// it) and NaN values are both left out. Every statistic of a pair of
// variables uses the particles on which both have a value (pairwise-complete
// rows), so one variable's failed draws do not remove rows from the
// statistics of the others.
//
// A plain value built from a ParticleTable, whose column storage it shares;
// it never changes after construction, so any number of threads may read one
// at once. Every accessor returns a new object owned by the caller.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "distribution/distribution.hpp"
#include "stat_result/particle_table.hpp"

namespace quillon {

enum class CorrelationMethod { kPearson, kSpearman };

// "pearson" or "spearman"; nullopt for any other text.
std::optional<CorrelationMethod> parse_correlation_method(std::string_view name);
const char* correlation_method_name(CorrelationMethod method);

// A square matrix of doubles, row-major, rows and columns in the order of
// JointSample::variables().
struct SquareMatrix {
  std::size_t size = 0;
  std::vector<double> values;
  double at(std::size_t row, std::size_t column) const { return values[row * size + column]; }
};

class JointSample {
 public:
  // Every column of `table` that holds a value on at least one particle, in
  // the table's column order (the order of its particles' dicts).
  explicit JointSample(const ParticleTable& table);

  const std::vector<std::string>& variables() const noexcept { return names_; }
  std::size_t particle_count() const noexcept { return size_; }
  // Position of `name` in variables(), or nullopt.
  std::optional<std::size_t> index_of(std::string_view name) const;

  // Variable i on every particle, NaN where it has no value.
  std::vector<double> column(std::size_t i) const;
  // Variables i and j on the particles where both have a value, in particle
  // order.
  std::pair<std::vector<double>, std::vector<double>> complete_pairs(std::size_t i, std::size_t j) const;

  // Sample covariance (divided by n - 1) of each pair. NaN for a pair with
  // fewer than 2 complete rows.
  SquareMatrix covariance() const;
  // Pearson's r, or Spearman's rho (Pearson's r of the ranks, tied values
  // sharing the average of their ranks; ranks are taken within the pair's
  // complete rows). The diagonal is 1; NaN for a pair with fewer than 2
  // complete rows or where either variable is constant on them.
  SquareMatrix correlation(CorrelationMethod method) const;

  // Variable i's values as an Empirical distribution (NaN and absent values
  // left out) and its count of values.
  Distribution marginal(std::size_t i) const;

  // The marginals (count, mean, std, p5, p50, p95) as a table, then the
  // correlation matrix by `method`. Names are left-aligned, numbers
  // right-aligned in columns as wide as their widest cell.
  std::string summary_text(CorrelationMethod method = CorrelationMethod::kPearson) const;

 private:
  bool has(std::size_t variable, std::size_t particle) const;

  std::size_t size_ = 0;
  std::vector<std::string> names_;
  std::vector<ParticleTable::Column> columns_;  // share storage with the table
};

}  // namespace quillon
