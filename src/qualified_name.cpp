#include "qualified_name.hpp"

namespace quillon {

namespace {

// The one spelling of a branch key, shared by writers (branch_key) and
// readers (the qualified-name rules).
std::string branch_key_of(std::string_view branch, std::string_view name) {
  static constexpr std::string_view kPrefix = "__branch_";
  static constexpr std::string_view kSeparator = "__";
  std::string key;
  key.reserve(kPrefix.size() + branch.size() + kSeparator.size() + name.size());
  key += kPrefix;
  key += branch;
  key += kSeparator;
  key += name;
  return key;
}

}  // namespace

QualifiedName::QualifiedName(std::string_view broadcast) : text_(broadcast) {
  const std::size_t first = broadcast.find(':');
  if (first == std::string_view::npos) return;
  qualified_ = true;
  const std::string_view branch = broadcast.substr(0, first);
  const std::string_view rest = broadcast.substr(first + 1);
  const std::size_t second = rest.find(':');
  key_ = branch_key_of(branch, rest);
  gatherable_ = second == std::string_view::npos;
}

std::string branch_key(std::uint64_t branch_id, std::string_view name) {
  return branch_key_of(std::to_string(branch_id), name);
}

}  // namespace quillon
