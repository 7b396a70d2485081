#include "stat_result/equality.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <unordered_map>

namespace quillon {

namespace {

bool equal_maps(const DistMap& a, const DistMap& b) noexcept {
  if (a.size() != b.size()) return false;
  for (const auto& [name, dist] : a) {
    auto it = b.find(name);
    if (it == b.end() || !equal_values(dist, it->second)) return false;
  }
  return true;
}

bool equal_groups(const std::unordered_map<std::uint64_t, DistMap>& a,
                  const std::unordered_map<std::uint64_t, DistMap>& b) noexcept {
  if (a.size() != b.size()) return false;
  for (const auto& [id, dists] : a) {
    auto it = b.find(id);
    if (it == b.end() || !equal_maps(dists, it->second)) return false;
  }
  return true;
}

// Same particles holding a value, and the same values on them; what a
// column stores where a particle has no value does not matter.
bool equal_columns(const ParticleTable::Column& a, const ParticleTable::Column& b, std::size_t size) noexcept {
  for (std::size_t i = 0; i < size; ++i) {
    if (a.has(i) != b.has(i)) return false;
    if (a.has(i) && !same_value(a.at(i), b.at(i))) return false;
  }
  return true;
}

bool equal_tables(const ParticleTable& a, const ParticleTable& b) noexcept {
  if (a.size() != b.size() || a.column_count() != b.column_count()) return false;
  bool equal = true;
  a.for_each_column([&](const std::string& key, const ParticleTable::Column& column) {
    if (!equal) return;
    const ParticleTable::Column* other = b.find(key);
    equal = other != nullptr && equal_columns(column, *other, a.size());
  });
  return equal;
}

// The bits of a number with every NaN made one NaN and -0 made +0, so that
// numbers that are the same value hash alike.
std::uint64_t canonical_bits(double value) noexcept {
  if (std::isnan(value)) return 0x7ff8000000000000ULL;
  if (value == 0.0) return 0;
  return std::bit_cast<std::uint64_t>(value);
}

void mix(std::size_t& seed, std::uint64_t value) noexcept {
  seed ^= static_cast<std::size_t>(value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace

bool same_value(double a, double b) noexcept { return a == b || (std::isnan(a) && std::isnan(b)); }

bool equal_values(const Distribution& a, const Distribution& b) noexcept {
  if (a.kind() != b.kind()) return false;
  if (a.kind() != DistributionKind::kEmpirical) {
    return same_value(a.first_param(), b.first_param()) && same_value(a.second_param(), b.second_param());
  }
  const std::size_t size_a = a.samples() ? a.samples()->size() : 0;
  const std::size_t size_b = b.samples() ? b.samples()->size() : 0;
  if (size_a != size_b) return false;
  if (size_a == 0 || a.samples() == b.samples()) return true;
  for (std::size_t i = 0; i < size_a; ++i) {
    if (!same_value((*a.samples())[i], (*b.samples())[i])) return false;
  }
  return true;
}

bool equal_values(const StatResult& a, const StatResult& b) noexcept {
  if (!equal_maps(a.vars, b.vars) || !equal_groups(a.by_node, b.by_node) || !equal_groups(a.by_branch, b.by_branch) ||
      !equal_groups(a.by_variant, b.by_variant)) {
    return false;
  }
  if (a.particles.has_value() != b.particles.has_value()) return false;
  return !a.particles || equal_tables(*a.particles, *b.particles);
}

std::size_t value_hash(const StatResult& result) noexcept {
  // Order-free over the maps: a sum of per-entry hashes.
  std::size_t seed = result.vars.size();
  std::size_t entries = 0;
  for (const auto& [name, dist] : result.vars) {
    std::size_t entry = std::hash<std::string>{}(name);
    mix(entry, static_cast<std::uint64_t>(dist.kind()));
    if (dist.kind() == DistributionKind::kEmpirical) {
      mix(entry, dist.samples() ? dist.samples()->size() : 0);
    } else {
      mix(entry, canonical_bits(dist.first_param()));
      mix(entry, canonical_bits(dist.second_param()));
    }
    entries += entry;
  }
  mix(seed, entries);
  mix(seed, result.particles ? result.particles->size() + 1 : 0);
  return seed;
}

std::size_t value_hash(const Distribution& dist) noexcept {
  std::size_t seed = static_cast<std::size_t>(dist.kind());
  if (dist.kind() != DistributionKind::kEmpirical) {
    mix(seed, canonical_bits(dist.first_param()));
    mix(seed, canonical_bits(dist.second_param()));
    return seed;
  }
  if (dist.samples()) {
    mix(seed, dist.samples()->size());
    for (double value : *dist.samples()) mix(seed, canonical_bits(value));
  }
  return seed;
}

}  // namespace quillon
