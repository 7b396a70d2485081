// Fuzz target: the memory cache backend against a reference model.
//
// The input is a capacity, a time-to-live mode and a sequence of operations
// (put, get, clear_node, clear_namespace, clear_all, and claims taken,
// waited on and finished from the fuzzing thread and from one helper thread)
// over small alphabets of namespaces, keys and identities chosen so that full
// keys of different namespaces can coincide and namespaces can contain "::".
// Every operation runs on a MemoryCacheBackend and on the model below, which
// keeps the plain access queue of every store and hit. After each step the
// get result (stored outputs or miss reason), the claim answer and stats()
// must agree, the backend's invariants must hold (check_invariants, which
// asserts), and the set of stored entries must agree too: every put carries
// a watched value whose release the hooks log, so the entries whose outputs
// the backend still holds are known exactly. Each release also calls back
// into the backend, which must not be locked at that moment (a Mutex
// relocked by its owner fails an assertion). Time-to-live modes are limited
// to the deterministic ones: none, expired at once (zero or a negative
// overflow) and never reached (an hour, or an overflowing one).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "cache/keys.hpp"
#include "cache/memory_backend.hpp"
#include "fuzz_support.hpp"
#include "cache/records.hpp"

const char* const fuzz::kFuzzTarget = "fuzz_memory_backend";

namespace {

using quillon::CacheEntry;
using quillon::CacheGetResult;
using quillon::CacheLookup;
using quillon::CacheMissReason;
using quillon::CacheStats;
using quillon::ComputeClaim;
using quillon::DataMap;
using quillon::GraphData;
using quillon::MemoryCacheBackend;
using quillon::PyObjectRef;

using fuzz::check;
using fuzz::fail;

// Like check, but the detail is only put together on failure.
template <typename Detail>
void expect(bool ok, const char* what, Detail&& detail) {
  if (!ok) fail(what, detail());
}

// Namespaces "a", "a:" and "a::b" with keys ":k1" and "b::k0" give the full
// keys "a:::k1" and "a::b::k0" two ways each.
constexpr const char* kNamespaces[] = {"", "a", "a:", "a::b", "ab", "b"};
constexpr const char* kKeys[] = {"k0", "k1", "k2", "k3", "k4", "k5", ":k1", "b::k0"};
constexpr const char* kIdentities[] = {"id=0;x", "id=0;y", "id=1;x", "id=12;x", "id=1", ""};
constexpr std::uint64_t kClearIds[] = {0, 1, 2, 12};
constexpr const char* kVersions[] = {"v0", "v1", "zz"};
constexpr const char* kInputs[] = {"i0", "i1"};
constexpr const char* kDeps[] = {"d0", "d1"};

std::string full_key_of(std::string_view ns, std::string_view key) {
  return std::string(ns) + "::" + std::string(key);
}

// Code hashes: the hash of a version token, so that clear_node with that
// version matches, or a plain text that no version hashes to.
const std::string& code_hash_of(int which) {
  static const std::string kCodes[] = {quillon::hash_canonical("v0"), quillon::hash_canonical("v1"), "plain"};
  return kCodes[which];
}

enum class Owner { kMain, kHelper };

// Runs one task at a time on a thread of its own, so that claims can be
// owned by a thread other than the fuzzing one. Lives for the whole process.
class Helper {
 public:
  Helper() : thread_([this] { loop(); }) { thread_.detach(); }

  void run(std::function<void()> task) {
    std::unique_lock lock(mu_);
    task_ = std::move(task);
    done_ = false;
    changed_.notify_all();
    changed_.wait(lock, [&] { return done_; });
  }

 private:
  void loop() {
    std::unique_lock lock(mu_);
    for (;;) {
      changed_.wait(lock, [&] { return task_ != nullptr; });
      auto task = std::move(task_);
      task_ = nullptr;
      lock.unlock();
      task();
      lock.lock();
      done_ = true;
      changed_.notify_all();
    }
  }

  std::mutex mu_;
  std::condition_variable changed_;
  std::function<void()> task_;
  bool done_ = true;
  std::thread thread_;
};

Helper& helper() {
  static Helper* instance = new Helper;  // never destroyed: its thread never ends
  return *instance;
}

// --- Watched outputs ------------------------------------------------------

// The tags of put steps whose outputs are still held somewhere, and the
// backend the release hook calls back into. Only the fuzzing thread stores
// and drops outputs, but the hook may run on any thread.
std::mutex g_watch_mu;
std::set<std::int64_t> g_live_tags;
MemoryCacheBackend* g_backend = nullptr;

// The hook's object is the tag itself, never dereferenced.
void* object_of(std::int64_t tag) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(tag) + 1); }
std::int64_t tag_of(void* object) { return static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(object) - 1); }

void release_watched(void* object) {
  MemoryCacheBackend* backend = nullptr;
  {
    std::lock_guard lock(g_watch_mu);
    check(g_live_tags.erase(tag_of(object)) == 1, "outputs released twice or never stored");
    backend = g_backend;
  }
  // Dropped outputs may run code that calls back into the backend.
  if (backend != nullptr) backend->check_invariants();
}

GraphData watched(std::int64_t tag) {
  static const bool kHooksInstalled = [] {
    quillon::set_py_object_hooks(quillon::PyObjectHooks{nullptr, &release_watched, nullptr});
    return true;
  }();
  (void)kHooksInstalled;
  {
    std::lock_guard lock(g_watch_mu);
    g_live_tags.insert(tag);
  }
  return GraphData::from_py_object(PyObjectRef::steal(object_of(tag)));
}

std::set<std::int64_t> live_tags() {
  std::lock_guard lock(g_watch_mu);
  return g_live_tags;
}

// --- The reference model --------------------------------------------------

class Model {
 public:
  enum class Expiry { kNever, kAtOnce };

  struct Entry {
    std::string identity, code, input, deps;
    std::int64_t tag;
    std::uint64_t last_access;
    std::string ns, key;  // the last (namespace, key) stored under this full key
  };
  struct Fingerprint {
    std::string key, code, input, deps;
  };
  using Identity = std::pair<std::string, std::string>;  // (namespace, identity text)

  // The value a hit returns, or the miss reason.
  struct GetResult {
    std::optional<std::int64_t> tag;
    CacheMissReason reason = CacheMissReason::kNotFound;
  };

  Model(std::size_t max_entries, Expiry expiry) : max_entries_(std::max<std::size_t>(max_entries, 1)), expiry_(expiry) {
    stats_.max_entries = max_entries_;
  }

  GetResult get(const std::string& ns, const CacheLookup& lookup) {
    const std::string full_key = full_key_of(ns, lookup.key);
    auto it = entries_.find(full_key);
    if (it != entries_.end() && expiry_ == Expiry::kAtOnce) {
      remove_entry(full_key);
      ++stats_.expirations;
      ++stats_.misses;
      sync();
      return {std::nullopt, CacheMissReason::kExpired};
    }
    const std::uint64_t seq = ++sequence_;
    if (it != entries_.end()) {
      it->second.last_access = seq;
      lru_.emplace_back(seq, full_key);
      ++stats_.hits;
      return {it->second.tag, {}};
    }
    ++stats_.misses;
    const Identity id{ns, lookup.identity};
    if (invalidated_.contains(id)) return {std::nullopt, CacheMissReason::kInvalidated};
    const auto fp = identities_.find(id);
    if (fp == identities_.end()) return {std::nullopt, CacheMissReason::kNotFound};
    if (fp->second.key == full_key) {
      identities_.erase(fp);
      return {std::nullopt, CacheMissReason::kNotFound};
    }
    if (fp->second.code != lookup.code_hash) return {std::nullopt, CacheMissReason::kCodeChanged};
    if (fp->second.input != lookup.input_hash) return {std::nullopt, CacheMissReason::kInputChanged};
    if (fp->second.deps != lookup.deps_signature) return {std::nullopt, CacheMissReason::kDependencyChanged};
    return {std::nullopt, CacheMissReason::kNotFound};
  }

  void put(const std::string& ns, const std::string& key, const CacheEntry& entry, std::int64_t tag) {
    const std::string full_key = full_key_of(ns, key);
    const std::uint64_t seq = ++sequence_;
    entries_.insert_or_assign(full_key, Entry{entry.identity, entry.code_hash, entry.input_hash,
                                              entry.deps_signature, tag, seq, ns, key});
    identities_.insert_or_assign(Identity{ns, entry.identity},
                                 Fingerprint{full_key, entry.code_hash, entry.input_hash, entry.deps_signature});
    invalidated_.erase(Identity{ns, entry.identity});
    lru_.emplace_back(seq, full_key);
    sync();
    while (entries_.size() > max_entries_ && !lru_.empty()) {
      const auto [record_seq, record_key] = lru_.front();
      lru_.pop_front();
      const auto it = entries_.find(record_key);
      if (it != entries_.end() && it->second.last_access == record_seq) {
        remove_entry(record_key);
        ++stats_.evictions;
      }
    }
    sync();
  }

  void clear_node(const std::string& ns, std::uint64_t node_id, const std::optional<std::string>& version) {
    const std::optional<std::string> code =
        version ? std::optional<std::string>(quillon::hash_canonical(*version)) : std::nullopt;
    const std::string prefix = "id=" + std::to_string(node_id) + ";";
    std::vector<std::pair<std::string, std::string>> collected;  // (identity, key)
    for (const auto& [id, fp] : identities_) {
      if (id.first == ns && id.second.starts_with(prefix) && (!code || fp.code == *code)) {
        collected.emplace_back(id.second, fp.key);
      }
    }
    std::set<std::string> removed;
    for (const auto& [identity, key] : collected) {
      remove_entry(key);
      invalidated_.insert(Identity{ns, identity});
      removed.insert(key);
    }
    std::erase_if(lru_, [&](const auto& record) { return removed.contains(record.second); });
    sync();
  }

  void clear_namespace(const std::string& ns) {
    const std::string prefix = ns + "::";
    std::vector<std::string> identities;
    for (const auto& [id, fp] : identities_) {
      if (id.first == ns) identities.push_back(id.second);
    }
    std::vector<std::string> keys;
    for (const auto& [key, entry] : entries_) {
      if (key.starts_with(prefix)) keys.push_back(key);
    }
    for (const auto& key : keys) remove_entry(key);
    for (const auto& identity : identities) invalidated_.insert(Identity{ns, identity});
    std::erase_if(lru_, [&](const auto& record) { return record.second.starts_with(prefix); });
    std::erase_if(in_flight_, [&](const auto& claim) { return claim.first.starts_with(prefix); });
    sync();
  }

  void clear_all() {
    entries_.clear();
    identities_.clear();
    invalidated_.clear();
    lru_.clear();
    in_flight_.clear();
    sync();
  }

  ComputeClaim begin_compute(const std::string& ns, const std::string& key, Owner who) {
    const auto [it, inserted] = in_flight_.try_emplace(full_key_of(ns, key), who);
    if (inserted) return ComputeClaim::kAcquired;
    return it->second == who ? ComputeClaim::kHeldByCaller : ComputeClaim::kBusy;
  }

  // Whether wait_for_compute by `who` returns without blocking.
  bool wait_returns(const std::string& ns, const std::string& key, Owner who) const {
    const auto it = in_flight_.find(full_key_of(ns, key));
    return it == in_flight_.end() || it->second == who;
  }

  void finish_compute(const std::string& ns, const std::string& key) { in_flight_.erase(full_key_of(ns, key)); }

  const CacheStats& stats() const { return stats_; }
  std::set<std::int64_t> stored_tags() const {
    std::set<std::int64_t> tags;
    for (const auto& [full_key, entry] : entries_) tags.insert(entry.tag);
    return tags;
  }

 private:
  void remove_entry(const std::string& full_key) {
    const auto it = entries_.find(full_key);
    if (it == entries_.end()) return;
    // The fingerprint that goes is the one of the namespace the entry was
    // last stored under.
    const auto fp = identities_.find(Identity{it->second.ns, it->second.identity});
    if (fp != identities_.end() && fp->second.key == full_key) identities_.erase(fp);
    entries_.erase(it);
  }

  void sync() { stats_.entries = entries_.size(); }

  std::size_t max_entries_;
  Expiry expiry_;
  std::map<std::string, Entry> entries_;
  std::map<Identity, Fingerprint> identities_;
  std::set<Identity> invalidated_;
  std::map<std::string, Owner> in_flight_;
  std::deque<std::pair<std::uint64_t, std::string>> lru_;
  std::uint64_t sequence_ = 0;
  CacheStats stats_;
};

// --- Comparison -----------------------------------------------------------

std::string describe(const CacheStats& s) {
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, "entries=%llu max=%llu hits=%llu misses=%llu evictions=%llu expirations=%llu",
                static_cast<unsigned long long>(s.entries), static_cast<unsigned long long>(s.max_entries),
                static_cast<unsigned long long>(s.hits), static_cast<unsigned long long>(s.misses),
                static_cast<unsigned long long>(s.evictions), static_cast<unsigned long long>(s.expirations));
  return buffer;
}

std::string describe(const Model::GetResult& r) {
  return r.tag ? "hit:" + std::to_string(*r.tag) : "miss:" + std::string(quillon::to_string(r.reason));
}

Model::GetResult from_backend(const CacheGetResult& result) {
  if (const auto* outputs = std::get_if<DataMap>(&result)) {
    check(outputs->size() == 2 && outputs->contains("out") && outputs->at("out").kind() == quillon::DataKind::kInt &&
              outputs->contains("watched") && outputs->at("watched").kind() == quillon::DataKind::kPyObject &&
              tag_of(outputs->at("watched").as_py_object().get()) == outputs->at("out").as_int(),
          "a hit returned outputs that no put stored");
    return {outputs->at("out").as_int(), {}};
  }
  return {std::nullopt, std::get<CacheMissReason>(result)};
}

std::string describe(const std::set<std::int64_t>& tags) {
  std::string text;
  for (const std::int64_t tag : tags) text += " " + std::to_string(tag);
  return text.empty() ? " (none)" : text;
}

// Compares everything observable without counting an access: the counters,
// the backend's own invariants, and which puts' outputs the backend still
// holds against the model's entries.
template <typename Where>
void compare_state(MemoryCacheBackend& backend, const Model& model, Where&& where) {
  const CacheStats a = backend.stats();
  const CacheStats& b = model.stats();
  expect(a.entries == b.entries && a.max_entries == b.max_entries && a.hits == b.hits && a.misses == b.misses &&
             a.evictions == b.evictions && a.expirations == b.expirations,
         "stats differ", [&] { return where() + ": backend " + describe(a) + " / model " + describe(b); });
  backend.check_invariants();
  const std::set<std::int64_t> held = live_tags();
  const std::set<std::int64_t> stored = model.stored_tags();
  expect(held == stored, "the backend holds other entries than the model",
         [&] { return where() + ": backend holds" + describe(held) + " / model" + describe(stored); });
}

const char* claim_name(ComputeClaim claim) {
  switch (claim) {
    case ComputeClaim::kAcquired: return "acquired";
    case ComputeClaim::kBusy: return "busy";
    case ComputeClaim::kHeldByCaller: return "held_by_caller";
  }
  return "?";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::size_t capacity = in.ConsumeIntegralInRange<std::size_t>(0, 5);

  using Duration = MemoryCacheBackend::Clock::duration;
  std::optional<Duration> ttl;
  Model::Expiry expiry = Model::Expiry::kNever;
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0: ttl = Duration::zero(), expiry = Model::Expiry::kAtOnce; break;
    case 1: ttl = Duration::min(), expiry = Model::Expiry::kAtOnce; break;  // before the clock's range
    case 2: ttl = std::chrono::hours(1); break;
    case 3: ttl = Duration::max(); break;  // past the clock's range: never expires
    default: break;                        // no time-to-live
  }

  auto backend = MemoryCacheBackend::create(capacity, ttl);
  Model model(capacity, expiry);
  std::int64_t next_tag = 0;
  check(live_tags().empty(), "outputs of an earlier input are still held");
  {
    std::lock_guard lock(g_watch_mu);
    g_backend = backend.get();
  }

  for (int step = 0; step < 4000 && in.remaining_bytes() > 0; ++step) {
    const std::string ns = in.PickValueInArray(kNamespaces);
    const std::string key = in.PickValueInArray(kKeys);
    const int op = in.ConsumeIntegralInRange<int>(0, 31);
    // What this step did, put into words only when a check fails.
    std::string detail;
    const auto where = [&] {
      return "step " + std::to_string(step) + " op " + std::to_string(op) + " ns '" + ns + "' key '" + key + "'" +
             detail;
    };
    if (op < 8) {  // put
      CacheEntry entry;
      entry.identity = in.PickValueInArray(kIdentities);
      entry.code_hash = code_hash_of(in.ConsumeIntegralInRange<int>(0, 2));
      entry.input_hash = in.PickValueInArray(kInputs);
      entry.deps_signature = in.PickValueInArray(kDeps);
      const std::int64_t tag = next_tag++;
      entry.outputs = DataMap{{"out", GraphData::from_int(tag)}, {"watched", watched(tag)}};
      detail = " put '" + entry.identity + "' tag " + std::to_string(tag);
      model.put(ns, key, entry, tag);
      backend->put(ns, key, std::move(entry));
    } else if (op < 18) {  // get
      CacheLookup lookup;
      lookup.key = key;
      lookup.identity = in.PickValueInArray(kIdentities);
      lookup.code_hash = code_hash_of(in.ConsumeIntegralInRange<int>(0, 2));
      lookup.input_hash = in.PickValueInArray(kInputs);
      lookup.deps_signature = in.PickValueInArray(kDeps);
      const Model::GetResult expected = model.get(ns, lookup);
      const Model::GetResult actual = from_backend(backend->get(ns, lookup));
      expect(actual.tag == expected.tag && (actual.tag || actual.reason == expected.reason), "get differs", [&] {
        return where() + " get '" + lookup.identity + "': backend " + describe(actual) + " / model " +
               describe(expected);
      });
    } else if (op < 20) {
      const std::uint64_t node_id = in.PickValueInArray(kClearIds);
      std::optional<std::string> version;
      if (in.ConsumeBool()) version = in.PickValueInArray(kVersions);
      detail = " clear_node " + std::to_string(node_id) + " " + version.value_or("(any)");
      model.clear_node(ns, node_id, version);
      backend->clear_node(ns, node_id, version);
    } else if (op == 20) {
      detail = " clear_namespace";
      model.clear_namespace(ns);
      backend->clear_namespace(ns);
    } else if (op == 21) {
      if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {  // rarely: it resets nearly everything
        detail = " clear_all";
        model.clear_all();
        backend->clear_all();
      }
    } else if (op < 26) {  // claim, mostly from this thread, sometimes from the helper
      const Owner who = op < 25 ? Owner::kMain : Owner::kHelper;
      const ComputeClaim expected = model.begin_compute(ns, key, who);
      ComputeClaim actual;
      if (who == Owner::kMain) {
        actual = backend->begin_compute(ns, key);
      } else {
        helper().run([&] { actual = backend->begin_compute(ns, key); });
      }
      detail = who == Owner::kMain ? " begin_compute" : " begin_compute (helper)";
      expect(actual == expected, "begin_compute differs", [&] {
        return where() + ": backend " + claim_name(actual) + " / model " + claim_name(expected);
      });
    } else if (op < 29) {  // finish, from either thread: any thread may end a claim
      detail = " finish_compute";
      model.finish_compute(ns, key);
      if (op < 28) {
        backend->finish_compute(ns, key);
      } else {
        helper().run([&] { backend->finish_compute(ns, key); });
      }
    } else {  // wait, only where it must return at once (no claim, or one's own)
      const Owner who = op < 31 ? Owner::kMain : Owner::kHelper;
      if (model.wait_returns(ns, key, who)) {
        detail = " wait_for_compute";
        if (who == Owner::kMain) {
          backend->wait_for_compute(ns, key, std::chrono::hours(1));
        } else {
          helper().run([&] { backend->wait_for_compute(ns, key, std::chrono::hours(1)); });
        }
      }
    }
    compare_state(*backend, model, where);
  }
  compare_state(*backend, model, [] { return std::string("after the last step"); });
  // Claims still held by the helper belong to this backend only; it goes now,
  // and every output it still holds with it.
  {
    std::lock_guard lock(g_watch_mu);
    g_backend = nullptr;
  }
  backend.reset();
  check(live_tags().empty(), "the backend's destructor left outputs unreleased");
  return 0;
}
