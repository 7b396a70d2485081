// ParticleTable: the per-particle values of a particle propagation, kept by
// variable.
//
// A particle maps variable keys to numbers. Storing one map per particle
// costs a map node per value, which a vector output of thousands of elements
// over thousands of particles turns into gigabytes; the table keeps one
// column of doubles per key instead, with a presence mask only for columns
// that some particles lack. A full column's values can be shared with the
// Empirical distribution of the same values, so a value is stored once.
// Reading particle i builds the map it stands for.
//
// A plain value: copies share column storage and copy on write. Concurrent
// reads are safe; writes need exclusive access.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "distribution/distribution.hpp"

namespace quillon {

// One particle: every variable's value on one trajectory.
using Particle = std::unordered_map<std::string, double>;

class ParticleTable {
 public:
  // One variable over the particles: an entry per particle in particle
  // order, NaN where a particle has no value.
  struct Column {
    SampleVector values;
    std::vector<bool> present;  // empty when every particle has a value
    // Whether `values` was made by the table itself, not const, and may be
    // changed in place while nothing else shares it.
    bool own = false;
    bool has(std::size_t particle) const noexcept { return present.empty() || present[particle]; }
    double at(std::size_t particle) const noexcept { return (*values)[particle]; }
  };

  ParticleTable() = default;
  explicit ParticleTable(std::size_t size) : size_(size) {}

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t column_count() const noexcept { return columns_.size(); }

  // Gives `key` the column's value on every particle the column has one
  // for; the others keep what they held. Requires: size() entries.
  void set(const std::string& key, Column column);
  // The column of `key`, or null. Valid until the next set or push_back.
  const Column* find(std::string_view key) const;
  template <typename F>
  void for_each_column(F&& f) const {
    for (const auto& [key, column] : columns_) f(key, column);
  }

  // Particle i as a map of every key it holds; at() checks the index.
  Particle operator[](std::size_t particle) const;
  Particle at(std::size_t particle) const;
  // Appends a particle holding exactly `particle`'s entries.
  void push_back(const Particle& particle);

  // Iteration over the particles, each built as a map.
  class Iterator {
   public:
    Iterator(const ParticleTable& table, std::size_t index) : table_(&table), index_(index) {}
    Particle operator*() const { return (*table_)[index_]; }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.index_ == b.index_; }

   private:
    const ParticleTable* table_;
    std::size_t index_;
  };
  Iterator begin() const { return Iterator(*this, 0); }
  Iterator end() const { return Iterator(*this, size_); }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };
  std::size_t size_ = 0;
  std::unordered_map<std::string, Column, Hash, std::equal_to<>> columns_;
};

}  // namespace quillon
