// Cache records and the backend interface.
//
// What the engine, the key builder, the backend and the Python layer exchange
// about caching: miss reasons, per-run options, lookup and entry records,
// per-node and per-run reports, and the CacheBackend interface. Records are
// plain values. Backends are shared through CacheBackendPtr and must be safe
// to call from any thread; every implementation synchronises itself.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

#include "graph_data.hpp"

namespace quillon {

enum class CacheMissReason : std::uint8_t {
  kDisabled = 0,
  kMissingVersion = 1,
  kNonCacheable = 2,
  kNotFound = 3,
  kInvalidated = 4,
  kExpired = 5,
  kCodeChanged = 6,
  kInputChanged = 7,
  kDependencyChanged = 8,
  kUnsupportedInput = 9,
};
inline constexpr std::size_t kCacheMissReasonCount = 10;

// "disabled", "missing_version", ... as users see them.
std::string_view to_string(CacheMissReason reason) noexcept;

enum class CacheDepth : std::uint8_t { kNone = 0, kShallow = 1, kTransitive = 2 };

std::string_view to_string(CacheDepth depth) noexcept;
// Parses "none", "shallow", "transitive"; absent for anything else.
std::optional<CacheDepth> parse_cache_depth(std::string_view text) noexcept;

struct ExecutionOptions {
  std::string namespace_name;
  bool enabled = true;
  CacheDepth depth = CacheDepth::kTransitive;
  // Whether the run reports a NodeCacheStatus per node; a caller that never
  // reads them saves the work.
  bool collect_node_statuses = true;
};

// Node id -> node key text of the nodes already executed in one run.
using DependencyKeyMap = std::unordered_map<std::uint64_t, std::string>;

struct CacheLookup {
  std::string key;
  std::string identity;
  std::string code_hash;
  std::string input_hash;
  std::string deps_signature;
};

struct CacheEntry {
  std::string identity;
  std::string code_hash;
  std::string input_hash;
  std::string deps_signature;
  DataMap outputs;
};

struct CacheStats {
  std::uint64_t entries = 0;
  std::uint64_t max_entries = 0;
  std::uint64_t hits = 0;
  std::uint64_t misses = 0;
  std::uint64_t evictions = 0;
  std::uint64_t expirations = 0;
};

// Per-run counters. Reason counts are kept in a fixed array indexed by the
// reason's code; a count of 0 means the reason never occurred in the run.
struct CacheRunStats {
  std::array<std::uint64_t, kCacheMissReasonCount> reason_counts{};
  std::uint64_t hits = 0;
  std::uint64_t misses = 0;
  std::uint64_t stores = 0;

  void record_miss(CacheMissReason reason) {
    ++misses;
    ++reason_counts[static_cast<std::size_t>(reason)];
  }
  void add(const CacheRunStats& other);
};

struct NodeCacheStatus {
  std::optional<std::string> cache_key;
  bool hit = false;
  bool stored = false;
  std::optional<CacheMissReason> reason;
};

// Result of a backend lookup: the stored outputs on a hit, the miss reason
// otherwise.
using CacheGetResult = std::variant<DataMap, CacheMissReason>;

// Outcome of claiming the computation of a key.
enum class ComputeClaim : std::uint8_t {
  kAcquired,       // the caller now owns the computation
  kBusy,           // another thread owns it; wait_for_compute, then look up again
  kHeldByCaller,   // the calling thread already owns it (a re-entrant run)
};

class CacheBackend {
 public:
  virtual ~CacheBackend() = default;

  virtual CacheGetResult get(const std::string& ns, const CacheLookup& lookup) = 0;
  virtual void put(const std::string& ns, std::string key, CacheEntry entry) = 0;
  virtual CacheStats stats() = 0;
  virtual void clear_all() = 0;
  virtual void clear_namespace(const std::string& ns) = 0;
  virtual void clear_node(const std::string& ns, std::uint64_t node_id,
                          const std::optional<std::string>& version) = 0;
  virtual ComputeClaim begin_compute(const std::string& ns, const std::string& key) = 0;
  virtual void wait_for_compute(const std::string& ns, const std::string& key) = 0;
  virtual void finish_compute(const std::string& ns, const std::string& key) = 0;
};

using CacheBackendPtr = std::shared_ptr<CacheBackend>;

}  // namespace quillon
