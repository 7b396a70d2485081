// MemoryCacheBackend: the in-process cache store.
//
// Bounded by an entry count with least-recently-used eviction, optionally by
// a time-to-live, partitioned by namespaces ("{namespace}::{key}"), able to
// classify misses, and able to coordinate threads so that a key being
// computed by one thread is waited for, not recomputed, by others.
//
// Thread-safe: one mutex guards all state and is held for exactly one
// operation; a condition variable tied to it serves wait_for_compute. The
// mutex is never held while a node function runs and this class never calls
// into Python. Share it through CacheBackendPtr.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "cache/keys.hpp"
#include "cache/records.hpp"

namespace quillon {

class MemoryCacheBackend final : public CacheBackend {
 public:
  using Clock = std::chrono::steady_clock;

  // max_entries 0 is raised to 1.
  MemoryCacheBackend(std::size_t max_entries, std::optional<Clock::duration> ttl);

  static std::shared_ptr<MemoryCacheBackend> create(std::size_t max_entries,
                                                    std::optional<Clock::duration> ttl);

  CacheGetResult get(const std::string& ns, const CacheLookup& lookup) override;
  void put(const std::string& ns, std::string key, CacheEntry entry) override;
  CacheStats stats() override;
  void clear_all() override;
  void clear_namespace(const std::string& ns) override;
  void clear_node(const std::string& ns, std::uint64_t node_id,
                  const std::optional<std::string>& version) override;
  ComputeClaim begin_compute(const std::string& ns, const std::string& key) override;
  void wait_for_compute(const std::string& ns, const std::string& key) override;
  void finish_compute(const std::string& ns, const std::string& key) override;

  // Number of access records queued, live and stale (for tests of compaction).
  std::size_t access_queue_size();

 private:
  // (implementation-defined state)
};

}  // namespace quillon
