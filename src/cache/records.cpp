#include "cache/records.hpp"

namespace quillon {

std::string_view to_string(CacheMissReason reason) noexcept {
  switch (reason) {
    case CacheMissReason::kDisabled: return "disabled";
    case CacheMissReason::kMissingVersion: return "missing_version";
    case CacheMissReason::kNonCacheable: return "non_cacheable";
    case CacheMissReason::kNotFound: return "not_found";
    case CacheMissReason::kInvalidated: return "invalidated";
    case CacheMissReason::kExpired: return "expired";
    case CacheMissReason::kCodeChanged: return "code_changed";
    case CacheMissReason::kInputChanged: return "input_changed";
    case CacheMissReason::kDependencyChanged: return "dependency_changed";
    case CacheMissReason::kUnsupportedInput: return "unsupported_input";
  }
  return "unknown";
}

std::string_view to_string(CacheDepth depth) noexcept {
  switch (depth) {
    case CacheDepth::kNone: return "none";
    case CacheDepth::kShallow: return "shallow";
    case CacheDepth::kTransitive: return "transitive";
  }
  return "unknown";
}

std::optional<CacheDepth> parse_cache_depth(std::string_view text) noexcept {
  if (text == "none") return CacheDepth::kNone;
  if (text == "shallow") return CacheDepth::kShallow;
  if (text == "transitive") return CacheDepth::kTransitive;
  return std::nullopt;
}

void CacheRunStats::add(const CacheRunStats& other) {
  hits += other.hits;
  misses += other.misses;
  stores += other.stores;
  for (std::size_t i = 0; i < kCacheMissReasonCount; ++i) reason_counts[i] += other.reason_counts[i];
}

}  // namespace quillon
