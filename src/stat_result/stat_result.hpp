// StatResult: what a propagation run returns — the distribution of every
// variable it reached, the same outputs grouped by node, branch and variant,
// and, from the particle engine, the per-particle values.
//
// A plain value: an engine fills the public maps while it runs, after which
// the result is only read; concurrent reads are safe. All accessors return
// copies owned by the caller (copies of an Empirical share its samples).
// Keys of `vars` starting with "__branch_" hold branch copies' outputs; they
// are internal: `get` finds them, `keys` and `print_summary` leave them out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "distribution/distribution.hpp"
#include "stat_result/particle_table.hpp"

namespace quillon {

// Whether `key` is a branch-qualified (internal) key of StatResult::vars.
bool is_internal_key(std::string_view key);

// Monte Carlo standard errors of a variable's mean and of its 5th, 50th and
// 95th percentiles, by batch means: the draws, in draw order, are cut into
// b = floor(sqrt(n)) batches of floor(n / b) draws (the few left over are
// not used), the statistic is taken in each batch (percentiles by the
// sorted-position rule), and its standard error is the standard deviation
// of the b batch values divided by sqrt(b). Zero for a variable that was not
// sampled (a closed form or a point mass), which has no sampling error; NaN
// with fewer than 4 draws.
struct StandardErrors {
  double mean = 0.0;
  double p5 = 0.0;
  double p50 = 0.0;
  double p95 = 0.0;
};
StandardErrors standard_errors(const Distribution& dist);

struct StatResult {
  DistMap vars;
  std::unordered_map<std::uint64_t, DistMap> by_node;
  std::unordered_map<std::uint64_t, DistMap> by_branch;
  std::unordered_map<std::uint64_t, DistMap> by_variant;
  std::optional<ParticleTable> particles;  // set by the particle engine only

  static StatResult create() { return {}; }

  std::optional<Distribution> get(const std::string& name) const;

  // Non-internal keys of `vars`, ascending by bytes.
  std::vector<std::string> keys() const;

  // Copies of by_branch[id] / by_variant[index]; empty when absent.
  DistMap for_branch(std::uint64_t branch_id) const;
  DistMap for_variant(std::uint64_t variant_index) const;

  // One line "  {key}: {summary}\n" per non-internal key, in keys() order.
  // Percentiles as Distribution::percentile gives them. Throws
  // DistributionError (and yields nothing) when an entry cannot be sampled.
  std::string summary_text() const;

  // Writes summary_text() to file descriptor 1. The whole text is built
  // first, so an error leaves nothing half written.
  void print_summary() const;
};

}  // namespace quillon
