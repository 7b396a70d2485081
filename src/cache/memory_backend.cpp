#include "cache/memory_backend.hpp"

#include <algorithm>
#include <cassert>
#include <functional>
#include <limits>
#include <utility>

namespace quillon {

namespace {

// The access queue is rebuilt from its live records once it holds more than
// this many records beyond twice the live entries. The slack keeps tiny
// caches from compacting on nearly every access; the factor makes each
// rebuild pay for itself (amortised O(1) per access).
constexpr std::size_t kAccessQueueSlack = 64;

std::string make_full_key(std::string_view ns, std::string_view key) {
  std::string full;
  full.reserve(ns.size() + 2 + key.size());
  full.append(ns);
  full.append("::");
  full.append(key);
  return full;
}

}  // namespace

std::size_t MemoryCacheBackend::IdentityHash::operator()(IdentityView id) const noexcept {
  const std::size_t a = std::hash<std::string_view>{}(id.ns);
  const std::size_t b = std::hash<std::string_view>{}(id.identity);
  return a ^ (b + 0x9e3779b97f4a7c15ULL + (a << 6) + (a >> 2));
}

MemoryCacheBackend::MemoryCacheBackend(std::size_t max_entries, std::optional<Clock::duration> ttl)
    : max_entries_(std::max<std::size_t>(max_entries, 1)), ttl_(ttl) {
  stats_.max_entries = max_entries_;
}

std::shared_ptr<MemoryCacheBackend> MemoryCacheBackend::create(std::size_t max_entries,
                                                               std::optional<Clock::duration> ttl) {
  return std::make_shared<MemoryCacheBackend>(max_entries, ttl);
}

CacheGetResult MemoryCacheBackend::get(const std::string& ns, const CacheLookup& lookup) {
  std::string full_key = make_full_key(ns, lookup.key);
  Released released;
  std::lock_guard lock(mu_);

  auto it = entries_.find(full_key);
  if (it != entries_.end() && it->second.expires_at && Clock::now() >= *it->second.expires_at) {
    remove_entry_locked(it, released);
    ++stats_.expirations;
    ++stats_.misses;
    sync_entry_count_locked();
    return CacheMissReason::kExpired;
  }

  const std::uint64_t sequence = next_sequence_locked();
  if (it != entries_.end()) {
    // The time-to-live runs from the store: a hit does not renew it.
    it->second.last_access = sequence;
    DataMap outputs = it->second.entry.outputs;
    ++stats_.hits;
    lru_.push_back(AccessRecord{sequence, std::move(full_key)});
    compact_access_queue_locked();
    return outputs;
  }

  ++stats_.misses;
  return classify_miss_locked(ns, lookup, full_key);
}

CacheMissReason MemoryCacheBackend::classify_miss_locked(const std::string& ns,
                                                         const CacheLookup& lookup,
                                                         const std::string& full_key) {
  const IdentityView id{ns, lookup.identity};
  if (invalidated_.find(id) != invalidated_.end()) return CacheMissReason::kInvalidated;

  const auto fingerprint = identities_.find(id);
  if (fingerprint == identities_.end()) return CacheMissReason::kNotFound;
  const IdentityFingerprint& last = fingerprint->second;
  if (last.key == full_key) {
    // The entry it names is gone; nothing more specific is known.
    identities_.erase(fingerprint);
    return CacheMissReason::kNotFound;
  }
  if (last.code_hash != lookup.code_hash) return CacheMissReason::kCodeChanged;
  if (last.input_hash != lookup.input_hash) return CacheMissReason::kInputChanged;
  if (last.deps_signature != lookup.deps_signature) return CacheMissReason::kDependencyChanged;
  return CacheMissReason::kNotFound;
}

void MemoryCacheBackend::put(const std::string& ns, std::string key, CacheEntry entry) {
  std::string full_key = make_full_key(ns, key);
  Released released;
  std::lock_guard lock(mu_);

  const std::uint64_t sequence = next_sequence_locked();
  const auto expires_at = expiry_from(Clock::now());

  IdentityId id{ns, entry.identity};
  IdentityFingerprint fingerprint{full_key, entry.code_hash, entry.input_hash, entry.deps_signature};

  auto [it, inserted] = entries_.try_emplace(full_key);
  // A replaced entry's access records simply become stale.
  if (!inserted) released.push_back(std::move(it->second.entry.outputs));
  it->second = StoredEntry{std::move(entry), expires_at, sequence};

  if (auto stale = invalidated_.find(view(id)); stale != invalidated_.end()) invalidated_.erase(stale);
  identities_.insert_or_assign(std::move(id), std::move(fingerprint));

  lru_.push_back(AccessRecord{sequence, std::move(full_key)});
  sync_entry_count_locked();
  // The record just pushed is the newest, so this store survives its own
  // eviction pass.
  evict_locked(released);
  compact_access_queue_locked();
  sync_entry_count_locked();
}

CacheStats MemoryCacheBackend::stats() {
  std::lock_guard lock(mu_);
  return stats_;
}

void MemoryCacheBackend::clear_all() {
  EntryMap removed;
  {
    std::lock_guard lock(mu_);
    removed.swap(entries_);
    identities_.clear();
    invalidated_.clear();
    lru_.clear();
    in_flight_.clear();
    sync_entry_count_locked();
  }
  claims_changed_.notify_all();
}

void MemoryCacheBackend::clear_namespace(const std::string& ns) {
  const std::string prefix = ns + "::";
  Released released;
  {
    std::lock_guard lock(mu_);
    std::vector<std::string> identities;
    for (const auto& [id, fingerprint] : identities_) {
      if (id.ns == ns) identities.push_back(id.identity);
    }
    std::vector<std::string> keys;
    for (const auto& [full_key, stored] : entries_) {
      if (full_key.starts_with(prefix)) keys.push_back(full_key);
    }
    for (const auto& full_key : keys) remove_entry_locked(full_key, released);
    for (auto& identity : identities) invalidated_.insert(IdentityId{ns, std::move(identity)});

    // Prefix matching also reaches namespaces nested as "{ns}::...".
    std::erase_if(lru_, [&](const AccessRecord& record) { return record.full_key.starts_with(prefix); });
    std::erase_if(in_flight_, [&](const auto& claim) { return claim.first.starts_with(prefix); });
    sync_entry_count_locked();
  }
  claims_changed_.notify_all();
}

void MemoryCacheBackend::clear_node(const std::string& ns, std::uint64_t node_id,
                                    const std::optional<std::string>& version) {
  // Fingerprints carry the hash of the version token they were stored under.
  const std::optional<std::string> code_hash =
      version ? std::optional<std::string>(hash_canonical(*version)) : std::nullopt;
  // The ";" keeps node 1 from matching node 12.
  const std::string prefix = "id=" + std::to_string(node_id) + ";";

  Released released;
  {
    std::lock_guard lock(mu_);
    std::vector<std::pair<std::string, std::string>> matched;  // (identity, full key)
    for (const auto& [id, fingerprint] : identities_) {
      if (id.ns != ns || !id.identity.starts_with(prefix)) continue;
      if (code_hash && fingerprint.code_hash != *code_hash) continue;
      matched.emplace_back(id.identity, fingerprint.key);
    }
    // Only the entry each fingerprint names goes; older entries of the node
    // stored under other keys stay.
    std::unordered_set<std::string> removed_keys;
    for (auto& [identity, full_key] : matched) {
      remove_entry_locked(full_key, released);
      invalidated_.insert(IdentityId{ns, std::move(identity)});
      removed_keys.insert(std::move(full_key));
    }
    if (!removed_keys.empty()) {
      std::erase_if(lru_, [&](const AccessRecord& record) { return removed_keys.contains(record.full_key); });
    }
    sync_entry_count_locked();
  }
  claims_changed_.notify_all();
}

ComputeClaim MemoryCacheBackend::begin_compute(const std::string& ns, const std::string& key) {
  std::string full_key = make_full_key(ns, key);
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard lock(mu_);
  const auto [it, inserted] = in_flight_.try_emplace(std::move(full_key), self);
  if (inserted) return ComputeClaim::kAcquired;
  return it->second == self ? ComputeClaim::kHeldByCaller : ComputeClaim::kBusy;
}

void MemoryCacheBackend::wait_for_compute(const std::string& ns, const std::string& key) {
  const std::string full_key = make_full_key(ns, key);
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock lock(mu_);
  // A thread never waits on its own claim: that wait could never end.
  claims_changed_.wait(lock, [&] {
    const auto it = in_flight_.find(full_key);
    return it == in_flight_.end() || it->second == self;
  });
}

void MemoryCacheBackend::finish_compute(const std::string& ns, const std::string& key) {
  const std::string full_key = make_full_key(ns, key);
  {
    std::lock_guard lock(mu_);
    in_flight_.erase(full_key);
  }
  claims_changed_.notify_all();
}

std::size_t MemoryCacheBackend::access_queue_size() {
  std::lock_guard lock(mu_);
  return lru_.size();
}

bool MemoryCacheBackend::contains(const std::string& ns, const std::string& key) {
  const std::string full_key = make_full_key(ns, key);
  std::lock_guard lock(mu_);
  return entries_.contains(full_key);
}

std::uint64_t MemoryCacheBackend::next_sequence_locked() {
  if (sequence_ != std::numeric_limits<std::uint64_t>::max()) ++sequence_;
  return sequence_;
}

bool MemoryCacheBackend::is_live_locked(const AccessRecord& record) const {
  const auto it = entries_.find(record.full_key);
  return it != entries_.end() && it->second.last_access == record.sequence;
}

void MemoryCacheBackend::remove_entry_locked(EntryMap::iterator it, Released& released) {
  const std::string& full_key = it->first;
  // The namespace is cut at the first "::"; a namespace that itself contains
  // "::" keeps its fingerprint here, and the next miss on the key drops it.
  const std::string_view ns = std::string_view(full_key).substr(0, full_key.find("::"));
  const auto fingerprint = identities_.find(IdentityView{ns, it->second.entry.identity});
  if (fingerprint != identities_.end() && fingerprint->second.key == full_key) {
    identities_.erase(fingerprint);
  }
  released.push_back(std::move(it->second.entry.outputs));
  entries_.erase(it);
}

void MemoryCacheBackend::remove_entry_locked(const std::string& full_key, Released& released) {
  const auto it = entries_.find(full_key);
  if (it != entries_.end()) remove_entry_locked(it, released);
}

void MemoryCacheBackend::evict_locked(Released& released) {
  // Records are only ever popped from the front; stale ones are discarded.
  while (entries_.size() > max_entries_ && !lru_.empty()) {
    const AccessRecord record = std::move(lru_.front());
    lru_.pop_front();
    const auto it = entries_.find(record.full_key);
    if (it != entries_.end() && it->second.last_access == record.sequence) {
      remove_entry_locked(it, released);
      ++stats_.evictions;
    }
  }
}

void MemoryCacheBackend::compact_access_queue_locked() {
  if (lru_.size() <= 2 * entries_.size() + kAccessQueueSlack) return;
  // Dropping stale records keeps the live ones in their order, so eviction
  // picks exactly the victims it would have picked from the full queue.
  std::erase_if(lru_, [&](const AccessRecord& record) { return !is_live_locked(record); });
  assert(lru_.size() >= entries_.size());
}

std::optional<MemoryCacheBackend::Clock::time_point> MemoryCacheBackend::expiry_from(
    Clock::time_point now) const {
  if (!ttl_) return std::nullopt;
  Clock::rep sum = 0;
  if (__builtin_add_overflow(now.time_since_epoch().count(), ttl_->count(), &sum)) {
    // An instant past the clock's range never comes: such entries never
    // expire. (Before its range, they are expired at once.)
    if (*ttl_ > Clock::duration::zero()) return std::nullopt;
    return Clock::time_point::min();
  }
  return Clock::time_point(Clock::duration(sum));
}

}  // namespace quillon
