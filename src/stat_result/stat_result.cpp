#include "stat_result/stat_result.hpp"

#include <unistd.h>

#include <algorithm>
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
