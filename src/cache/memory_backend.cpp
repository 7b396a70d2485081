#include "cache/memory_backend.hpp"

#include <algorithm>
#include <cassert>
#include <functional>
#include <limits>
#include <utility>

namespace quillon {

namespace {

// The value of each lowercase hex digit, -1 for every other byte.
constexpr auto kHexValues = [] {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  for (int d = 0; d < 10; ++d) values['0' + d] = static_cast<std::int8_t>(d);
  for (int d = 0; d < 6; ++d) values['a' + d] = static_cast<std::int8_t>(10 + d);
  return values;
}();

}  // namespace

MemoryCacheBackend::StoredText::StoredText(std::string_view text) {
  if (text.size() == 64) {
    std::array<std::uint8_t, 32> bytes{};
    bool digest = true;
    for (std::size_t i = 0; i < 32 && digest; ++i) {
      const int high = kHexValues[static_cast<unsigned char>(text[2 * i])];
      const int low = kHexValues[static_cast<unsigned char>(text[2 * i + 1])];
      digest = (high | low) >= 0;
      if (digest) bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    if (digest) {
      value_ = bytes;
      return;
    }
  }
  value_ = std::string(text);
}

std::string MemoryCacheBackend::StoredText::text() const {
  if (const auto* text = std::get_if<std::string>(&value_)) return *text;
  return hex_of(std::get<std::array<std::uint8_t, 32>>(value_));
}

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

MemoryCacheBackend::LockScope::LockScope(MemoryCacheBackend& backend) : mu_(backend.mu_) { mu_.lock(); }

MemoryCacheBackend::LockScope::~LockScope() {
  mu_.unlock();
  // Woken waiters need the lock, so they are woken only now.
  if (wake_ != nullptr) wake_->notify_all();
  // Unlocked from here on: what these drop may call back into the backend.
  outputs_.clear();
  entries_.clear();
}

void MemoryCacheBackend::LockScope::release_later(EntryMap&& entries) {
  if (entries_.empty()) {
    entries_.swap(entries);  // the common case: nothing to move entry by entry
    return;
  }
  for (auto& [full_key, stored] : entries) outputs_.push_back(std::move(stored.outputs));
  entries.clear();
}

const std::string& MemoryCacheBackend::full_key_locked(std::string_view ns, std::string_view key) {
  mu_.assert_held();
  probe_.clear();
  probe_.append(ns);
  probe_.append("::");
  probe_.append(key);
  return probe_;
}

void MemoryCacheBackend::link_newest_locked(Slot* slot) {
  mu_.assert_held();
  slot->second.older = newest_;
  slot->second.newer = nullptr;
  if (newest_ != nullptr) {
    newest_->second.newer = slot;
  } else {
    oldest_ = slot;
  }
  newest_ = slot;
}

void MemoryCacheBackend::make_newest_locked(Slot* slot) {
  mu_.assert_held();
  if (slot == newest_) return;
  unlink_locked(slot);
  link_newest_locked(slot);
}

void MemoryCacheBackend::unlink_locked(Slot* slot) {
  mu_.assert_held();
  StoredEntry& entry = slot->second;
  if (entry.older != nullptr) {
    entry.older->second.newer = entry.newer;
  } else {
    oldest_ = entry.newer;
  }
  if (entry.newer != nullptr) {
    entry.newer->second.older = entry.older;
  } else {
    newest_ = entry.older;
  }
  entry.older = entry.newer = nullptr;
}

CacheGetResult MemoryCacheBackend::get(const std::string& ns, const CacheLookup& lookup) {
  LockScope scope(*this);

  auto it = entries_.find(full_key_locked(ns, lookup.key));
  if (it != entries_.end() && it->second.expires_at && Clock::now() >= *it->second.expires_at) {
    remove_entry_locked(it, scope);
    ++stats_.expirations;
    ++stats_.misses;
    sync_entry_count_locked();
    return CacheMissReason::kExpired;
  }

  if (it != entries_.end()) {
    // The time-to-live runs from the store: a hit does not renew it.
    make_newest_locked(&*it);
    ++stats_.hits;
    return it->second.outputs;
  }

  ++stats_.misses;
  return classify_miss_locked(ns, lookup, lookup.key);
}

CacheMissReason MemoryCacheBackend::classify_miss_locked(const std::string& ns, const CacheLookup& lookup,
                                                         std::string_view key) {
  mu_.assert_held();
  const IdentityView id{ns, lookup.identity};
  if (invalidated_.find(id) != invalidated_.end()) return CacheMissReason::kInvalidated;

  const auto fingerprint = identities_.find(id);
  if (fingerprint == identities_.end()) return CacheMissReason::kNotFound;
  const Fingerprint& last = fingerprint->second;
  if (last.key == StoredText(key)) {
    // The entry it names is gone; nothing more specific is known.
    identities_.erase(fingerprint);
    return CacheMissReason::kNotFound;
  }
  if (last.code_hash != StoredText(lookup.code_hash)) return CacheMissReason::kCodeChanged;
  if (last.input_hash != StoredText(lookup.input_hash)) return CacheMissReason::kInputChanged;
  if (last.deps_signature != StoredText(lookup.deps_signature)) return CacheMissReason::kDependencyChanged;
  return CacheMissReason::kNotFound;
}

PutResult MemoryCacheBackend::put(const std::string& ns, std::string key, CacheEntry entry) {
  std::string full_key = make_full_key(ns, key);
  Fingerprint fingerprint{StoredText(key), StoredText(entry.code_hash), StoredText(entry.input_hash),
                          StoredText(entry.deps_signature)};
  LockScope scope(*this);

  const auto expires_at = expiry_from(Clock::now());

  // One identity text per (namespace, identity), shared by its entries. Both
  // lookups happen before the entry's own text may be moved away.
  const IdentityView id_view{ns, entry.identity};
  const auto known = identities_.find(id_view);
  std::shared_ptr<const std::string> identity;
  if (known != identities_.end()) identity = known->first.identity;
  if (auto stale = invalidated_.find(id_view); stale != invalidated_.end()) {
    if (!identity) identity = stale->identity;
    invalidated_.erase(stale);
  }
  if (!identity) identity = std::make_shared<const std::string>(std::move(entry.identity));

  auto [it, inserted] = entries_.try_emplace(std::move(full_key));
  StoredEntry& stored = it->second;
  if (inserted) {
    link_newest_locked(&*it);
  } else {
    scope.release_later(std::move(stored.outputs));
    make_newest_locked(&*it);
  }
  stored.identity = identity;
  stored.outputs = std::move(entry.outputs);
  stored.expires_at = expires_at;
  stored.ns_length = ns.size();

  if (known != identities_.end()) {
    known->second = std::move(fingerprint);
  } else {
    identities_.emplace(IdentityId{ns, std::move(identity)}, std::move(fingerprint));
  }

  sync_entry_count_locked();
  // The entry just stored is the newest, so this store survives its own
  // eviction pass.
  evict_locked(scope);
  sync_entry_count_locked();
  return {};
}

CacheStats MemoryCacheBackend::stats() {
  LockScope scope(*this);
  return stats_;
}

void MemoryCacheBackend::clear_all() {
  LockScope scope(*this);
  scope.release_later(std::move(entries_));
  oldest_ = newest_ = nullptr;
  identities_.clear();
  invalidated_.clear();
  in_flight_.clear();
  sync_entry_count_locked();
  scope.wake_after_unlock(claims_changed_);
}

void MemoryCacheBackend::clear_namespace(const std::string& ns) {
  // Prefix matching also reaches namespaces nested as "{ns}::...".
  const std::string prefix = ns + "::";
  LockScope scope(*this);
  std::vector<std::shared_ptr<const std::string>> identities;
  for (const auto& [id, fingerprint] : identities_) {
    if (id.ns == ns) identities.push_back(id.identity);
  }
  std::vector<std::string> keys;
  for (const auto& [full_key, stored] : entries_) {
    if (full_key.starts_with(prefix)) keys.push_back(full_key);
  }
  for (const auto& full_key : keys) remove_entry_locked(full_key, scope);
  for (auto& identity : identities) invalidated_.insert(IdentityId{ns, std::move(identity)});
  std::erase_if(in_flight_, [&](const auto& claim) { return claim.first.starts_with(prefix); });
  sync_entry_count_locked();
  scope.wake_after_unlock(claims_changed_);
}

void MemoryCacheBackend::clear_node(const std::string& ns, std::uint64_t node_id,
                                    const std::optional<std::string>& version) {
  // Fingerprints carry the hash of the version token they were stored under.
  const std::optional<StoredText> code_hash =
      version ? std::optional<StoredText>(StoredText(hash_canonical(*version))) : std::nullopt;
  // The ";" keeps node 1 from matching node 12.
  const std::string prefix = "id=" + std::to_string(node_id) + ";";

  LockScope scope(*this);
  std::vector<std::pair<std::shared_ptr<const std::string>, StoredText>> matched;  // (identity, key)
  for (const auto& [id, fingerprint] : identities_) {
    if (id.ns != ns || !id.identity->starts_with(prefix)) continue;
    if (code_hash && fingerprint.code_hash != *code_hash) continue;
    matched.emplace_back(id.identity, fingerprint.key);
  }
  // Only the entry each fingerprint names goes; older entries of the node
  // stored under other keys stay.
  for (auto& [identity, key] : matched) {
    remove_entry_locked(make_full_key(ns, key.text()), scope);
    invalidated_.insert(IdentityId{ns, std::move(identity)});
  }
  sync_entry_count_locked();
  scope.wake_after_unlock(claims_changed_);
}

ComputeClaim MemoryCacheBackend::begin_compute(const std::string& ns, const std::string& key) {
  std::string full_key = make_full_key(ns, key);
  const std::thread::id self = std::this_thread::get_id();
  LockScope scope(*this);
  const auto [it, inserted] = in_flight_.try_emplace(std::move(full_key), self);
  if (inserted) return ComputeClaim::kAcquired;
  return it->second == self ? ComputeClaim::kHeldByCaller : ComputeClaim::kBusy;
}

bool MemoryCacheBackend::wait_for_compute(const std::string& ns, const std::string& key,
                                          std::chrono::milliseconds timeout) {
  const std::string full_key = make_full_key(ns, key);
  const std::thread::id self = std::this_thread::get_id();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  LockScope scope(*this);
  while (!claim_released_locked(full_key, self)) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    claims_changed_.wait_for(mu_, deadline - now);
  }
  return true;
}

bool MemoryCacheBackend::claim_released_locked(const std::string& full_key, std::thread::id waiter) {
  mu_.assert_held();
  // A thread never waits on its own claim: that wait could never end.
  const auto it = in_flight_.find(full_key);
  return it == in_flight_.end() || it->second == waiter;
}

void MemoryCacheBackend::finish_compute(const std::string& ns, const std::string& key) {
  const std::string full_key = make_full_key(ns, key);
  LockScope scope(*this);
  in_flight_.erase(full_key);
  scope.wake_after_unlock(claims_changed_);
}

void MemoryCacheBackend::visit_stored_values(void (*visit)(const GraphData& value, void* context), void* context) {
  LockScope scope(*this);
  for (const auto& [full_key, entry] : entries_) {
    for (const auto& [name, value] : entry.outputs) visit(value, context);
  }
}

void MemoryCacheBackend::check_invariants() {
#ifndef NDEBUG
  LockScope scope(*this);
  check_invariants_locked();
#endif
}

#ifndef NDEBUG
void MemoryCacheBackend::check_invariants_locked() {
  mu_.assert_held();
  // The recency list, walked from the oldest end: every back link points to
  // the slot before, every slot is an entry's own, and nothing is left out.
  std::size_t listed = 0;
  const Slot* before = nullptr;
  for (const Slot* slot = oldest_; slot != nullptr; slot = slot->second.newer) {
    assert(slot->second.older == before && "recency list: a back link is wrong");
    const auto it = entries_.find(slot->first);
    assert(it != entries_.end() && &*it == slot && "recency list: a slot that is no entry");
    ++listed;
    assert(listed <= entries_.size() && "recency list: longer than the entries (a cycle)");
    before = slot;
  }
  assert(before == newest_ && "recency list: the newest end is wrong");
  assert(listed == entries_.size() && "recency list: entries missing from it");

  assert(stats_.entries == entries_.size() && "stats: entry count is stale");
  assert(stats_.max_entries == max_entries_ && "stats: capacity is wrong");
  assert(entries_.size() <= max_entries_ && "more entries than the capacity");

  for (const auto& [full_key, stored] : entries_) {
    assert(stored.identity != nullptr && "an entry without identity");
    assert(full_key.size() >= stored.ns_length + 2 && full_key.compare(stored.ns_length, 2, "::") == 0 &&
           "an entry's namespace length does not end at its separator");
    assert((ttl_ || !stored.expires_at) && "an expiry without a time to live");
  }
  for (const auto& [id, fingerprint] : identities_) assert(id.identity != nullptr && "a fingerprint without identity");
  for (const auto& id : invalidated_) assert(id.identity != nullptr && "an invalidation without identity");
  for (const auto& [full_key, owner] : in_flight_) {
    assert(full_key.find("::") != std::string::npos && "a claim on a text that is no full key");
    assert(owner != std::thread::id() && "a claim without owner");
  }
}
#endif

void MemoryCacheBackend::remove_entry_locked(EntryMap::iterator it, LockScope& scope) {
  mu_.assert_held();
  const std::string& full_key = it->first;
  StoredEntry& stored = it->second;
  const std::string_view ns = std::string_view(full_key).substr(0, stored.ns_length);
  const auto fingerprint = identities_.find(IdentityView{ns, *stored.identity});
  if (fingerprint != identities_.end() &&
      fingerprint->second.key == StoredText(std::string_view(full_key).substr(stored.ns_length + 2))) {
    identities_.erase(fingerprint);
  }
  unlink_locked(&*it);
  scope.release_later(std::move(stored.outputs));
  entries_.erase(it);
}

void MemoryCacheBackend::remove_entry_locked(const std::string& full_key, LockScope& scope) {
  const auto it = entries_.find(full_key);
  if (it != entries_.end()) remove_entry_locked(it, scope);
}

void MemoryCacheBackend::evict_locked(LockScope& scope) {
  mu_.assert_held();
  while (entries_.size() > max_entries_ && oldest_ != nullptr) {
    remove_entry_locked(entries_.find(oldest_->first), scope);
    ++stats_.evictions;
  }
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
