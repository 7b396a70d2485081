// Value equality of distributions and propagation results.
//
// Two numbers are the same value when they compare equal or are both NaN
// (a NaN sample is a value a run produced, not an unknown), so a result
// equals an exact copy of itself. Two distributions are equal when they are
// of the same kind with the same parameters, and, for Empirical ones, the
// same samples in the same order. Two results are equal when every map
// (vars, by node, by branch, by variant) holds the same names with equal
// distributions, and their particles are both absent or hold the same
// values on the same particles. value_hash agrees with equality: equal
// distributions hash alike, and so do equal results (whose hash reads the
// names, kinds and sizes only, never every sample). Pure functions of their arguments; safe from
// any thread on values nobody changes meanwhile.
#pragma once

#include <cstddef>

#include "distribution/distribution.hpp"
#include "stat_result/stat_result.hpp"

namespace quillon {

bool same_value(double a, double b) noexcept;
bool equal_values(const Distribution& a, const Distribution& b) noexcept;
bool equal_values(const StatResult& a, const StatResult& b) noexcept;
std::size_t value_hash(const Distribution& dist) noexcept;
std::size_t value_hash(const StatResult& result) noexcept;

}  // namespace quillon
