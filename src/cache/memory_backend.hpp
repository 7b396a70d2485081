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
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

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
  // Claims are owned by the claiming thread: claiming a key the calling
  // thread already owns answers kHeldByCaller, and waiting on such a key
  // returns at once.
  ComputeClaim begin_compute(const std::string& ns, const std::string& key) override;
  void wait_for_compute(const std::string& ns, const std::string& key) override;
  void finish_compute(const std::string& ns, const std::string& key) override;

  // Number of access records queued, live and stale (for tests of compaction).
  std::size_t access_queue_size();

  // Whether an entry is stored under the key. Counts no access, changes no
  // recency and does not look at expiry (for tests and diagnostics).
  bool contains(const std::string& ns, const std::string& key);

 private:
  struct StoredEntry {
    CacheEntry entry;
    std::optional<Clock::time_point> expires_at;  // none: never expires
    std::uint64_t last_access = 0;                // sequence number of the last store or hit
  };

  // (namespace, identity text): the key of fingerprints and invalidations.
  // Lookups go through IdentityView so that no text is copied to probe.
  struct IdentityId {
    std::string ns;
    std::string identity;
  };
  struct IdentityView {
    std::string_view ns;
    std::string_view identity;
  };
  struct IdentityHash {
    using is_transparent = void;
    std::size_t operator()(IdentityView id) const noexcept;
    std::size_t operator()(const IdentityId& id) const noexcept { return (*this)(view(id)); }
  };
  struct IdentityEqual {
    using is_transparent = void;
    bool operator()(IdentityView a, IdentityView b) const noexcept {
      return a.ns == b.ns && a.identity == b.identity;
    }
    bool operator()(const IdentityId& a, IdentityView b) const noexcept { return (*this)(view(a), b); }
    bool operator()(IdentityView a, const IdentityId& b) const noexcept { return (*this)(a, view(b)); }
    bool operator()(const IdentityId& a, const IdentityId& b) const noexcept {
      return (*this)(view(a), view(b));
    }
  };
  static IdentityView view(const IdentityId& id) noexcept { return {id.ns, id.identity}; }

  struct AccessRecord {
    std::uint64_t sequence;
    std::string full_key;
  };

  using EntryMap = std::unordered_map<std::string, StoredEntry>;
  // Outputs of removed entries. They are dropped only after mu_ is released:
  // dropping a Python object may run arbitrary code, which must not find the
  // backend locked.
  using Released = std::vector<DataMap>;

  // Requires: mu_ held (for every *_locked member).
  std::uint64_t next_sequence_locked();
  bool is_live_locked(const AccessRecord& record) const;
  void remove_entry_locked(EntryMap::iterator it, Released& released);
  void remove_entry_locked(const std::string& full_key, Released& released);
  CacheMissReason classify_miss_locked(const std::string& ns, const CacheLookup& lookup,
                                       const std::string& full_key);
  void evict_locked(Released& released);
  void compact_access_queue_locked();
  void sync_entry_count_locked() { stats_.entries = entries_.size(); }

  std::optional<Clock::time_point> expiry_from(Clock::time_point now) const;

  // Constant after construction.
  const std::size_t max_entries_;
  const std::optional<Clock::duration> ttl_;

  std::mutex mu_;
  // Signalled whenever claims may have ended: finish_compute and the clears.
  std::condition_variable claims_changed_;

  // Guarded by mu_.
  EntryMap entries_;
  std::unordered_map<IdentityId, IdentityFingerprint, IdentityHash, IdentityEqual> identities_;
  std::unordered_set<IdentityId, IdentityHash, IdentityEqual> invalidated_;
  // Claimed full keys and the thread that owns each claim.
  std::unordered_map<std::string, std::thread::id> in_flight_;
  // Access records, oldest first. Every store and hit appends (sequence,
  // full key); a record is live while its entry exists with last_access
  // equal to its sequence, stale otherwise. Each entry has exactly one live
  // record, so lru_.size() >= entries_.size(). Stale records never become
  // live again (sequence numbers are not reused), which is why eviction may
  // skip them and compaction may drop them without changing any victim.
  std::deque<AccessRecord> lru_;
  std::uint64_t sequence_ = 0;
  CacheStats stats_;
};

}  // namespace quillon
