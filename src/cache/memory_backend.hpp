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

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
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

  // Number of entries on the recency list, oldest to newest (for tests: it
  // always equals the number of entries).
  std::size_t recency_list_size();

  // Whether an entry is stored under the key. Counts no access, changes no
  // recency and does not look at expiry (for tests and diagnostics).
  bool contains(const std::string& ns, const std::string& key);

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

  // Outputs of removed entries. They are dropped only after mu_ is released:
  // dropping a Python object may run arbitrary code, which must not find the
  // backend locked.
  using Released = std::vector<DataMap>;

  // Requires: mu_ held (for every *_locked member).
  const std::string& full_key_locked(std::string_view ns, std::string_view key);
  void link_newest_locked(Slot* slot);
  void unlink_locked(Slot* slot);
  void make_newest_locked(Slot* slot);  // a linked slot
  void remove_entry_locked(EntryMap::iterator it, Released& released);
  void remove_entry_locked(const std::string& full_key, Released& released);
  CacheMissReason classify_miss_locked(const std::string& ns, const CacheLookup& lookup,
                                       std::string_view key);
  void evict_locked(Released& released);
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
  Slot* oldest_ = nullptr;  // the recency list's ends
  Slot* newest_ = nullptr;
  std::unordered_map<IdentityId, Fingerprint, IdentityHash, IdentityEqual> identities_;
  std::unordered_set<IdentityId, IdentityHash, IdentityEqual> invalidated_;
  // Claimed full keys and the thread that owns each claim.
  std::unordered_map<std::string, std::thread::id> in_flight_;
  std::string probe_;  // reused to build full keys for lookups
  CacheStats stats_;
};

}  // namespace quillon
