#include "stat_result/particle_table.hpp"

#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

namespace quillon {

namespace {

constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();

// A column's values ready to change: copied into a vector of the table's
// own first when anything else (a copy of the table, an Empirical) shares
// them or they were made elsewhere.
std::vector<double>& writable(ParticleTable::Column& column) {
  if (!column.own || column.values.use_count() > 1 || !column.values->owns()) {
    column.values = column.values ? make_samples(std::vector<double>(column.values->begin(), column.values->end()))
                                  : make_samples({});
    column.own = true;
  }
  // Made here from a vector and shared with nobody.
  return const_cast<Samples&>(*column.values).own_values();
}

}  // namespace

void ParticleTable::set(const std::string& key, Column column) {
  auto it = columns_.find(key);
  if (it == columns_.end() || column.present.empty()) {
    columns_.insert_or_assign(key, std::move(column));
    return;
  }
  // A partial column over an existing one: the particles it covers change.
  Column& held = it->second;
  std::vector<double>& values = writable(held);
  for (std::size_t i = 0; i < size_; ++i) {
    if (column.has(i)) values[i] = column.at(i);
  }
  if (!held.present.empty()) {
    for (std::size_t i = 0; i < size_; ++i) held.present[i] = held.present[i] || column.present[i];
  }
}

const ParticleTable::Column* ParticleTable::find(std::string_view key) const {
  auto it = columns_.find(key);
  return it == columns_.end() ? nullptr : &it->second;
}

Particle ParticleTable::operator[](std::size_t particle) const {
  Particle values;
  for (const auto& [key, column] : columns_) {
    if (column.has(particle)) values.emplace(key, column.at(particle));
  }
  return values;
}

Particle ParticleTable::at(std::size_t particle) const {
  if (particle >= size_) throw std::out_of_range("particle index out of range");
  return (*this)[particle];
}

void ParticleTable::push_back(const Particle& particle) {
  for (auto& [key, column] : columns_) {
    if (column.present.empty()) column.present.assign(size_, true);
    auto it = particle.find(key);
    writable(column).push_back(it == particle.end() ? kAbsent : it->second);
    column.present.push_back(it != particle.end());
  }
  for (const auto& [key, value] : particle) {
    if (columns_.contains(key)) continue;
    Column column;
    std::vector<double> values(size_, kAbsent);
    values.push_back(value);
    column.values = make_samples(std::move(values));
    column.own = true;
    if (size_ > 0) {
      column.present.assign(size_, false);
      column.present.push_back(true);
    }
    columns_.emplace(key, std::move(column));
  }
  ++size_;
}

}  // namespace quillon
