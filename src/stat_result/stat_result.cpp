#include "stat_result/stat_result.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <cerrno>

namespace quillon {

namespace {

constexpr std::string_view kInternalPrefix = "__branch_";

DistMap copy_group(const std::unordered_map<std::uint64_t, DistMap>& groups, std::uint64_t id) {
  const auto it = groups.find(id);
  return it == groups.end() ? DistMap{} : it->second;
}

}  // namespace

bool is_internal_key(std::string_view key) { return key.starts_with(kInternalPrefix); }

StandardErrors standard_errors(const Distribution& dist) {
  StandardErrors errors;
  if (dist.kind() != DistributionKind::kEmpirical || !dist.samples()) return errors;
  const Samples& draws = *dist.samples();
  const std::size_t n = draws.size();
  if (n < 4) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan, nan, nan};
  }
  const auto batches = static_cast<std::size_t>(std::sqrt(static_cast<double>(n)));
  const std::size_t size = n / batches;
  // Per statistic, the running sums of its batch values and their squares.
  std::array<double, 4> sum{}, square{};
  std::vector<double> batch(size);
  for (std::size_t b = 0; b < batches; ++b) {
    std::copy_n(draws.begin() + static_cast<std::ptrdiff_t>(b * size), size, batch.begin());
    double total = 0.0;
    for (const double v : batch) total += v;
    nan_tolerant_stable_sort(batch);
    auto at = [&](double p) { return batch[static_cast<std::size_t>(std::llround(p * static_cast<double>(size - 1)))]; };
    const std::array<double, 4> values{total / static_cast<double>(size), at(0.05), at(0.5), at(0.95)};
    for (std::size_t k = 0; k < 4; ++k) {
      sum[k] += values[k];
      square[k] += values[k] * values[k];
    }
  }
  std::array<double, 4> out{};
  const auto count = static_cast<double>(batches);
  for (std::size_t k = 0; k < 4; ++k) {
    const double mean = sum[k] / count;
    const double variance = std::max(0.0, (square[k] - count * mean * mean) / (count - 1.0));
    out[k] = std::sqrt(variance) / std::sqrt(count);
  }
  return {out[0], out[1], out[2], out[3]};
}

std::optional<Distribution> StatResult::get(const std::string& name) const {
  const auto it = vars.find(name);
  if (it == vars.end()) return std::nullopt;
  return it->second;
}

std::vector<std::string> StatResult::keys() const {
  std::vector<std::string> out;
  out.reserve(vars.size());
  for (const auto& [key, dist] : vars) {
    if (!is_internal_key(key)) out.push_back(key);
  }
  // std::string compares as unsigned bytes (char_traits<char>::compare).
  std::sort(out.begin(), out.end());
  return out;
}

DistMap StatResult::for_branch(std::uint64_t branch_id) const { return copy_group(by_branch, branch_id); }

DistMap StatResult::for_variant(std::uint64_t variant_index) const { return copy_group(by_variant, variant_index); }

std::string StatResult::summary_text() const {
  std::string out;
  for (const std::string& key : keys()) {
    out += "  ";
    out += key;
    out += ": ";
    out += vars.at(key).summary().to_string();
    out += '\n';
  }
  return out;
}

void StatResult::print_summary() const {
  const std::string text = summary_text();
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(1, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed or broken stdout is not the caller's error
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace quillon
