// MemoryCacheBackend: the in-process cache store.
//
// Bounded by an entry count with least-recently-used eviction, optionally by
// a time-to-live, partitioned by namespaces ("{namespace}::{key}"), able to
// classify misses, and able to coordinate threads so that a key being
// computed by one thread is waited for, not recomputed, by others.
//
// Thread-safe: one mutex guards all state and is held for exactly one
// operation; a condition variable tied to it serves wait_for_compute. The
// mutex is never held while a node function runs, this class never calls
// into Python, and the outputs of removed entries are dropped only after the
// mutex is released (LockScope). Share it through CacheBackendPtr. Every
// operation keeps the CacheBackend contract of cache/records.hpp.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "cache/keys.hpp"
#include "cache/records.hpp"
#include "thread_annotations.hpp"

namespace quillon {

class MemoryCacheBackend final : public CacheBackend {
 public:
  using Clock = std::chrono::steady_clock;

  // max_entries 0 is raised to 1.
  MemoryCacheBackend(std::size_t max_entries, std::optional<Clock::duration> ttl);

  static std::shared_ptr<MemoryCacheBackend> create(std::size_t max_entries,
                                                    std::optional<Clock::duration> ttl);

  // The settings it was made with (max_entries after raising 0 to 1), so
  // that an empty backend like it can be made elsewhere.
  std::size_t max_entries() const noexcept { return max_entries_; }
  const std::optional<Clock::duration>& ttl() const noexcept { return ttl_; }

  CacheGetResult get(const std::string& ns, const CacheLookup& lookup) override EXCLUDES(mu_);
  // Always stores.
  PutResult put(const std::string& ns, std::string key, CacheEntry entry) override EXCLUDES(mu_);
  CacheStats stats() override EXCLUDES(mu_);
  void clear_all() override EXCLUDES(mu_);
  void clear_namespace(const std::string& ns) override EXCLUDES(mu_);
  void clear_node(const std::string& ns, std::uint64_t node_id,
                  const std::optional<std::string>& version) override EXCLUDES(mu_);
  // Claims are owned by the claiming thread: claiming a key the calling
  // thread already owns answers kHeldByCaller, and waiting on such a key
  // returns at once.
  ComputeClaim begin_compute(const std::string& ns, const std::string& key) override EXCLUDES(mu_);
  bool wait_for_compute(const std::string& ns, const std::string& key, std::chrono::milliseconds timeout) override
      EXCLUDES(mu_);
  void finish_compute(const std::string& ns, const std::string& key) override EXCLUDES(mu_);

  void visit_stored_values(void (*visit)(const GraphData& value, void* context), void* context) override
      EXCLUDES(mu_);

  // Asserts every invariant of the stored state (listed with the fields
  // below) in builds with assertions; does nothing when NDEBUG is defined.
  // For tests and fuzzers, between operations.
  void check_invariants() EXCLUDES(mu_);

 private:
  // A key or hash text as kept here: 64 lowercase hex digits (what the key
  // functions produce) as their 32 bytes, any other text as it is. Equal
  // texts give equal values, and nothing is allocated for digests.
  class StoredText {
   public:
    explicit StoredText(std::string_view text);
    std::string text() const;  // the text it was made from
    friend bool operator==(const StoredText&, const StoredText&) = default;

   private:
    std::variant<std::array<std::uint8_t, 32>, std::string> value_;
  };

  struct StoredEntry;
  // The map's own node type: entries link to each other through it, and
  // its address stays put while the entry exists.
  using Slot = std::pair<const std::string, StoredEntry>;
  struct StoredEntry {
    // Shared by every entry and the fingerprint of one (namespace, identity).
    std::shared_ptr<const std::string> identity;
    DataMap outputs;
    std::optional<Clock::time_point> expires_at;  // none: never expires
    std::size_t ns_length = 0;                    // the full key is "{ns}::{key}"
    // The recency list, oldest to newest.
    Slot* older = nullptr;
    Slot* newer = nullptr;
  };
  using EntryMap = std::unordered_map<std::string, StoredEntry>;

  // The last store seen for one (namespace, identity): what misses are
  // classified against.
  struct Fingerprint {
    StoredText key;  // the key part of that entry's full key
    StoredText code_hash;
    StoredText input_hash;
    StoredText deps_signature;
  };

  // (namespace, identity text): the key of fingerprints and invalidations.
  // Lookups go through IdentityView so that no text is copied to probe.
  struct IdentityId {
    std::string ns;
    std::shared_ptr<const std::string> identity;
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
  static IdentityView view(const IdentityId& id) noexcept { return {id.ns, *id.identity}; }

  // The one way this class locks mu_. It holds mu_ for its lifetime and
  // keeps the outputs of the entries removed meanwhile; its destructor
  // unlocks, then wakes the waiters it was asked to, and only then drops the
  // outputs, because dropping a Python object may run arbitrary code that
  // calls back into this backend.
  class SCOPED_CAPABILITY LockScope {
   public:
    explicit LockScope(MemoryCacheBackend& backend) ACQUIRE(backend.mu_);
    ~LockScope() RELEASE();
    LockScope(const LockScope&) = delete;
    LockScope& operator=(const LockScope&) = delete;

    // Keeps removed outputs, or a whole detached entry map, until unlocked.
    void release_later(DataMap&& outputs) { outputs_.push_back(std::move(outputs)); }
    void release_later(EntryMap&& entries);
    // Wakes every waiter of `cv` once unlocked.
    void wake_after_unlock(CondVar& cv) noexcept { wake_ = &cv; }

   private:
    Mutex& mu_;
    CondVar* wake_ = nullptr;
    std::vector<DataMap> outputs_;
    EntryMap entries_;
  };

  // Requires: mu_ held (for every *_locked member).
  const std::string& full_key_locked(std::string_view ns, std::string_view key) REQUIRES(mu_);
  void link_newest_locked(Slot* slot) REQUIRES(mu_);
  void unlink_locked(Slot* slot) REQUIRES(mu_);
  void make_newest_locked(Slot* slot) REQUIRES(mu_);  // a linked slot
  void remove_entry_locked(EntryMap::iterator it, LockScope& scope) REQUIRES(mu_);
  void remove_entry_locked(const std::string& full_key, LockScope& scope) REQUIRES(mu_);
  CacheMissReason classify_miss_locked(const std::string& ns, const CacheLookup& lookup,
                                       std::string_view key) REQUIRES(mu_);
  void evict_locked(LockScope& scope) REQUIRES(mu_);
  void sync_entry_count_locked() REQUIRES(mu_) { stats_.entries = entries_.size(); }
  // Whether a waiter on full_key may return: no claim, or the waiter's own.
  bool claim_released_locked(const std::string& full_key, std::thread::id waiter) REQUIRES(mu_);
#ifndef NDEBUG
  void check_invariants_locked() REQUIRES(mu_);
#endif

  std::optional<Clock::time_point> expiry_from(Clock::time_point now) const;

  // Constant after construction.
  const std::size_t max_entries_;
  const std::optional<Clock::duration> ttl_;

  Mutex mu_;
  // Signalled whenever claims may have ended: finish_compute and the clears.
  CondVar claims_changed_;

  // Guarded by mu_. Invariants between operations (check_invariants):
  // - The recency list runs from oldest_ to newest_ through `newer`, and
  //   back through `older`; it holds every entry of entries_ exactly once
  //   and nothing else, and both ends are null exactly when it is empty.
  // - stats_.entries == entries_.size() <= max_entries_ == stats_.max_entries.
  // - Every entry's full key has "::" at ns_length (its namespace is the
  //   first ns_length bytes), its identity is set, and it has an expiry only
  //   when the backend has a time to live.
  // - Every fingerprint and invalidation has its identity set. A fingerprint
  //   may name an entry that is gone or was re-stored by another identity;
  //   get drops it when it meets it.
  // - Every claimed full key contains "::" and has an owner thread.
  EntryMap entries_ GUARDED_BY(mu_);
  Slot* oldest_ GUARDED_BY(mu_) PT_GUARDED_BY(mu_) = nullptr;  // the recency list's ends
  Slot* newest_ GUARDED_BY(mu_) PT_GUARDED_BY(mu_) = nullptr;
  std::unordered_map<IdentityId, Fingerprint, IdentityHash, IdentityEqual> identities_ GUARDED_BY(mu_);
  std::unordered_set<IdentityId, IdentityHash, IdentityEqual> invalidated_ GUARDED_BY(mu_);
  // Claimed full keys and the thread that owns each claim.
  std::unordered_map<std::string, std::thread::id> in_flight_ GUARDED_BY(mu_);
  std::string probe_ GUARDED_BY(mu_);  // reused to build full keys for lookups
  CacheStats stats_ GUARDED_BY(mu_);
};

}  // namespace quillon
