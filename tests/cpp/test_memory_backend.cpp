// The in-memory cache backend: eviction, expiry, miss reasons, clears, the
// compute-claim protocol, the recency bookkeeping and when removed outputs
// are dropped.
#include "cache/memory_backend.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using Backend = std::shared_ptr<MemoryCacheBackend>;

constexpr auto kPatience = 10s;       // bound on every wait; a correct backend needs far less
constexpr auto kBlockedProbe = 50ms;  // time a thread that must stay blocked gets to return wrongly

CacheLookup lookup_of(const std::string& key, const std::string& identity = "id=1;label=n",
                      const std::string& code = "c", const std::string& input = "i",
                      const std::string& deps = "d") {
  return CacheLookup{key, identity, code, input, deps};
}

CacheEntry entry_of(const CacheLookup& l, std::int64_t value) {
  return CacheEntry{l.identity, l.code_hash, l.input_hash, l.deps_signature, {{"out", GraphData::from_int(value)}}};
}

void put(const Backend& cache, const std::string& ns, const CacheLookup& l, std::int64_t value = 0) {
  cache->put(ns, l.key, entry_of(l, value));
}

// Watched outputs. A token is a value of kind PyObject whose object is a
// heap-allocated name; the release hook below runs when the last copy goes,
// logs the name and frees it. Storing a token beside an entry's outputs shows
// exactly when the backend drops them (eviction, expiry, replacement, clears)
// and, through on_release, what the backend looks like at that moment.
struct Token {
  std::string name;
};

struct ReleaseLogState {
  std::mutex mu;
  std::vector<std::string> released;
  std::function<void(const std::string&)> on_release;
};

ReleaseLogState& release_log_state() {
  static ReleaseLogState state;
  return state;
}

void release_token(void* object) {
  const std::unique_ptr<Token> token(static_cast<Token*>(object));
  ReleaseLogState& state = release_log_state();
  std::function<void(const std::string&)> on_release;
  {
    std::lock_guard lock(state.mu);
    state.released.push_back(token->name);
    on_release = state.on_release;
  }
  if (on_release) on_release(token->name);
}

// The hooks are process-wide and go in before any PyObject value exists.
const bool kHooksInstalled = [] {
  set_py_object_hooks(PyObjectHooks{nullptr, &release_token, nullptr});
  return true;
}();

// The names released since the log was made or last taken. One per test.
class ReleaseLog {
 public:
  ReleaseLog() {
    take();
    set_on_release(nullptr);
  }
  ~ReleaseLog() { set_on_release(nullptr); }

  std::vector<std::string> take() {
    std::lock_guard lock(release_log_state().mu);
    return std::exchange(release_log_state().released, {});
  }
  std::vector<std::string> take_sorted() {
    std::vector<std::string> names = take();
    std::sort(names.begin(), names.end());
    return names;
  }
  // Runs on the releasing thread, right after a token is logged.
  void set_on_release(std::function<void(const std::string&)> callback) {
    std::lock_guard lock(release_log_state().mu);
    release_log_state().on_release = std::move(callback);
  }
};

using Names = std::vector<std::string>;

// Stores a value with a token named `name` beside it.
void put_watched(const Backend& cache, const std::string& ns, const CacheLookup& l, std::int64_t value,
                 const std::string& name) {
  CacheEntry entry = entry_of(l, value);
  entry.outputs.insert_or_assign("token", GraphData::from_py_object(PyObjectRef::steal(new Token{name})));
  cache->put(ns, l.key, std::move(entry));
}

// "hit:<out>" or the miss reason's text.
std::string get(const Backend& cache, const std::string& ns, const CacheLookup& l) {
  const CacheGetResult result = cache->get(ns, l);
  if (const auto* outputs = std::get_if<DataMap>(&result)) return "hit:" + std::to_string(outputs->at("out").as_int());
  return std::string(to_string(std::get<CacheMissReason>(result)));
}
std::string get(const Backend& cache, const std::string& ns, const std::string& key) {
  return get(cache, ns, lookup_of(key));
}

TEST(MemoryBackendEviction, ZeroCapacityBehavesAsOne) {
  ReleaseLog log;
  auto cache = MemoryCacheBackend::create(0, std::nullopt);
  put_watched(cache, "ns", lookup_of("A"), 1, "A");
  put_watched(cache, "ns", lookup_of("B"), 2, "B");
  EXPECT_EQ(log.take(), Names{"A"});
  EXPECT_EQ(get(cache, "ns", "B"), "hit:2");
  const CacheStats stats = cache->stats();
  EXPECT_EQ(stats.max_entries, 1u);
  EXPECT_EQ(stats.entries, 1u);
  EXPECT_EQ(stats.evictions, 1u);
  cache->check_invariants();
}

TEST(MemoryBackendEviction, LeastRecentlyUsedGoes) {
  ReleaseLog log;
  auto cache = MemoryCacheBackend::create(2, std::nullopt);
  put_watched(cache, "ns", lookup_of("A"), 0, "A");
  put_watched(cache, "ns", lookup_of("B"), 0, "B");
  EXPECT_EQ(get(cache, "ns", "A"), "hit:0");
  put_watched(cache, "ns", lookup_of("C"), 0, "C");  // A was used after B: B goes
  EXPECT_EQ(log.take(), Names{"B"});
  put_watched(cache, "ns", lookup_of("D"), 0, "D");  // then A
  EXPECT_EQ(log.take(), Names{"A"});
  EXPECT_EQ(get(cache, "ns", "C"), "hit:0");
  EXPECT_EQ(get(cache, "ns", "D"), "hit:0");
  cache->check_invariants();

  // Storing a key twice keeps one entry, last used by its second store; the
  // first store's outputs go at once.
  auto twice = MemoryCacheBackend::create(2, std::nullopt);
  put_watched(twice, "ns", lookup_of("A"), 1, "A1");
  put_watched(twice, "ns", lookup_of("A"), 2, "A2");
  EXPECT_EQ(log.take(), Names{"A1"});
  put_watched(twice, "ns", lookup_of("B"), 3, "B");
  EXPECT_EQ(twice->stats().entries, 2u);
  EXPECT_EQ(twice->stats().evictions, 0u);
  put_watched(twice, "ns", lookup_of("C"), 0, "C");
  EXPECT_EQ(log.take(), Names{"A2"});
  EXPECT_EQ(get(twice, "ns", "B"), "hit:3");
  twice->check_invariants();
}

TEST(MemoryBackendEviction, HitsShareVectorPayloadsAndNamespacesPartition) {
  auto cache = MemoryCacheBackend::create(10, std::nullopt);
  const GraphData vector = GraphData::from_float_vec(std::vector<double>(1000, 1.5));
  CacheEntry entry = entry_of(lookup_of("K"), 0);
  entry.outputs.insert_or_assign("vec", vector);
  cache->put("a", "K", std::move(entry));
  const CacheGetResult hit = cache->get("a", lookup_of("K"));
  ASSERT_TRUE(std::holds_alternative<DataMap>(hit));
  EXPECT_EQ(std::get<DataMap>(hit).at("vec").float_vec_ptr().get(), vector.float_vec_ptr().get());
  EXPECT_EQ(get(cache, "b", "K"), "not_found");
}

TEST(MemoryBackendExpiry, ZeroTtlExpiresAtTheNextGetAndHugeTtlNever) {
  auto cache = MemoryCacheBackend::create(10, 0s);
  put(cache, "ns", lookup_of("A"));
  EXPECT_EQ(get(cache, "ns", "A"), "expired");
  const CacheStats stats = cache->stats();
  EXPECT_EQ(stats.expirations, 1u);
  EXPECT_EQ(stats.misses, 1u);
  EXPECT_EQ(stats.entries, 0u);
  EXPECT_EQ(get(cache, "ns", "A"), "not_found");

  auto forever = MemoryCacheBackend::create(10, MemoryCacheBackend::Clock::duration::max());
  put(forever, "ns", lookup_of("A"), 4);
  EXPECT_EQ(get(forever, "ns", "A"), "hit:4");
}

TEST(MemoryBackendMissReason, ClassifiesAgainstTheLastStoreOfTheIdentity) {
  auto cache = MemoryCacheBackend::create(10, std::nullopt);
  const std::string id = "id=1;label=n";
  put(cache, "ns", lookup_of("K1", id, "c1", "i1", "d1"));
  EXPECT_EQ(get(cache, "ns", lookup_of("K2", id, "c2", "i2", "d2")), "code_changed");
  EXPECT_EQ(get(cache, "ns", lookup_of("K2", id, "c1", "i2", "d2")), "input_changed");
  EXPECT_EQ(get(cache, "ns", lookup_of("K2", id, "c1", "i1", "d2")), "dependency_changed");
  EXPECT_EQ(get(cache, "ns", lookup_of("K2", id, "c1", "i1", "d1")), "not_found");
  EXPECT_EQ(get(cache, "ns", lookup_of("K2", "id=2;", "c2")), "not_found");
  EXPECT_EQ(get(cache, "other", lookup_of("K2", id, "c2")), "not_found");

  // Invalidation wins over the fingerprint until the next store.
  cache->clear_node("ns", 1, std::nullopt);
  EXPECT_EQ(get(cache, "ns", lookup_of("K1", id, "c1", "i1", "d1")), "invalidated");
  EXPECT_EQ(get(cache, "ns", lookup_of("K2", id, "c2")), "invalidated");
  put(cache, "ns", lookup_of("K3", id, "c1"));
  EXPECT_EQ(get(cache, "ns", lookup_of("K2", id, "c2")), "code_changed");
  EXPECT_EQ(cache->stats().misses, 9u);
}

TEST(MemoryBackendMissReason, DigestsAndOtherTextsCompareExactly) {
  auto cache = MemoryCacheBackend::create(10, std::nullopt);
  const std::string id = "id=1;label=n";
  const std::string lower(64, 'a'), upper(64, 'A'), other(64, 'b');
  put(cache, "ns", lookup_of(lower, id, lower, lower, lower));
  EXPECT_EQ(get(cache, "ns", lookup_of(lower, id, lower, lower, lower)), "hit:0");
  EXPECT_EQ(get(cache, "ns", lookup_of(upper, id, upper, lower, lower)), "code_changed");
  EXPECT_EQ(get(cache, "ns", lookup_of(upper, id, lower, other, lower)), "input_changed");
  EXPECT_EQ(get(cache, "ns", lookup_of(upper, id, lower, lower, upper)), "dependency_changed");
  EXPECT_EQ(cache->stats().entries, 1u);
  // clear_node matches the version through its digest.
  ReleaseLog log;
  cache->clear_node("ns", 1, "some version");
  EXPECT_EQ(log.take(), Names{});
  EXPECT_EQ(get(cache, "ns", lookup_of(lower, id, lower, lower, lower)), "hit:0");
  put_watched(cache, "ns", lookup_of(other, id, hash_canonical("some version")), 0, "other");
  cache->clear_node("ns", 1, "some version");
  EXPECT_EQ(log.take(), Names{"other"}) << "only the entry the fingerprint names goes";
  EXPECT_EQ(get(cache, "ns", lookup_of(other, id, hash_canonical("some version"))), "invalidated");
  EXPECT_EQ(get(cache, "ns", lookup_of(lower, id, lower, lower, lower)), "hit:0");
  cache->check_invariants();
}

TEST(MemoryBackendMissReason, ARemovedEntryTakesItsFingerprintInAnyNamespace) {
  for (const char* ns : {"a", "a::b"}) {
    auto cache = MemoryCacheBackend::create(10, 0s);
    put(cache, ns, lookup_of("K1", "id=1;", "c1"));
    EXPECT_EQ(get(cache, ns, lookup_of("K1", "id=1;", "c1")), "expired");
    EXPECT_EQ(get(cache, ns, lookup_of("K2", "id=1;", "c2")), "not_found") << ns;
  }
}

TEST(MemoryBackendClear, ClearNodeMatchesWholeIdVersionAndLastStoreOnly) {
  ReleaseLog log;
  auto cache = MemoryCacheBackend::create(10, std::nullopt);
  const std::string v1 = hash_canonical("v1");
  put_watched(cache, "ns", lookup_of("old", "id=1;label=a", v1, "i1"), 1, "ns/old");
  put_watched(cache, "ns", lookup_of("new", "id=1;label=a", v1, "i2"), 2, "ns/new");
  put_watched(cache, "ns", lookup_of("K12", "id=12;label=b", v1), 12, "ns/K12");
  put_watched(cache, "other", lookup_of("new", "id=1;label=a", v1), 100, "other/new");

  cache->clear_node("ns", 1, "v2");  // another version: nothing matches
  EXPECT_EQ(log.take(), Names{});
  cache->clear_node("ns", 1, "v1");
  EXPECT_EQ(log.take(), Names{"ns/new"});
  cache->check_invariants();
  EXPECT_EQ(get(cache, "ns", lookup_of("new", "id=1;label=a", v1, "i2")), "invalidated");
  EXPECT_EQ(get(cache, "ns", lookup_of("old", "id=1;label=a", v1, "i1")), "hit:1");  // older store stays
  EXPECT_EQ(get(cache, "ns", lookup_of("K12", "id=12;label=b", v1)), "hit:12");
  EXPECT_EQ(get(cache, "other", lookup_of("new", "id=1;label=a", v1)), "hit:100");
  EXPECT_EQ(cache->stats().entries, 3u);
}

TEST(MemoryBackendClear, ClearNamespaceFollowsTheSeparatorPrefix) {
  ReleaseLog log;
  auto cache = MemoryCacheBackend::create(10, std::nullopt);
  for (const char* ns : {"a", "ab", "a::b"}) {
    put_watched(cache, ns, lookup_of("K"), 0, ns);
    EXPECT_EQ(cache->begin_compute(ns, "X"), ComputeClaim::kAcquired);
  }
  cache->clear_namespace("a");
  EXPECT_EQ(log.take_sorted(), (Names{"a", "a::b"}));
  EXPECT_EQ(cache->stats().entries, 1u);
  cache->check_invariants();
  EXPECT_EQ(get(cache, "a", "K"), "invalidated");
  EXPECT_EQ(get(cache, "a::b", "K"), "not_found");
  EXPECT_EQ(get(cache, "ab", "K"), "hit:0");
  EXPECT_EQ(cache->begin_compute("a", "X"), ComputeClaim::kAcquired);
  EXPECT_EQ(cache->begin_compute("a::b", "X"), ComputeClaim::kAcquired);
  EXPECT_EQ(cache->begin_compute("ab", "X"), ComputeClaim::kHeldByCaller);
}

TEST(MemoryBackendClear, ClearAllKeepsCountersAndForgetsIdentities) {
  auto cache = MemoryCacheBackend::create(1, std::nullopt);
  put(cache, "ns", lookup_of("A", "id=1;"));
  EXPECT_EQ(get(cache, "ns", "A"), "hit:0");
  put(cache, "ns", lookup_of("B", "id=2;"));  // evicts A
  EXPECT_EQ(get(cache, "ns", "Z"), "not_found");
  cache->clear_node("ns", 2, std::nullopt);
  const CacheStats before = cache->stats();
  cache->clear_all();
  const CacheStats after = cache->stats();
  EXPECT_EQ(after.entries, 0u);
  EXPECT_EQ(std::tie(after.max_entries, after.hits, after.misses, after.evictions, after.expirations),
            std::tie(before.max_entries, before.hits, before.misses, before.evictions, before.expirations));
  cache->check_invariants();
  EXPECT_EQ(get(cache, "ns", lookup_of("B", "id=2;", "other")), "not_found");
}

TEST(MemoryBackendClaims, ClaimsAreExclusivePerThreadAndNamespace) {
  auto cache = MemoryCacheBackend::create(10, std::nullopt);
  auto claim_elsewhere = [&] {
    return std::async(std::launch::async, [&] { return cache->begin_compute("ns", "K"); }).get();
  };
  EXPECT_EQ(cache->begin_compute("ns", "K"), ComputeClaim::kAcquired);
  EXPECT_EQ(cache->begin_compute("ns", "K"), ComputeClaim::kHeldByCaller);
  EXPECT_EQ(claim_elsewhere(), ComputeClaim::kBusy);
  EXPECT_EQ(cache->begin_compute("other", "K"), ComputeClaim::kAcquired);
  cache->finish_compute("ns", "K");
  cache->finish_compute("ns", "unclaimed");  // harmless
  EXPECT_EQ(claim_elsewhere(), ComputeClaim::kAcquired);
  EXPECT_EQ(cache->begin_compute("ns", "K"), ComputeClaim::kBusy);

  // Waiting on one's own claim returns at once instead of never.
  auto own = std::async(std::launch::async, [&] {
    cache->begin_compute("ns", "own");
    EXPECT_TRUE(cache->wait_for_compute("ns", "own", std::chrono::hours(1)));
  });
  EXPECT_EQ(own.wait_for(kPatience), std::future_status::ready);
  cache->finish_compute("ns", "own");  // lets a wrongly blocked waiter go

  // A wait for another thread's claim gives up when its time runs out, and
  // the claim stays.
  EXPECT_FALSE(cache->wait_for_compute("ns", "K", std::chrono::milliseconds(5)));
  EXPECT_EQ(cache->begin_compute("ns", "K"), ComputeClaim::kBusy);
}

TEST(MemoryBackendClaims, WaitersAreReleasedWhenTheClaimEnds) {
  const std::pair<const char*, std::function<void(MemoryCacheBackend&)>> releases[] = {
      {"finish", [](MemoryCacheBackend& c) { c.finish_compute("ns", "K"); }},
      {"clear_all", [](MemoryCacheBackend& c) { c.clear_all(); }},
      {"clear_namespace", [](MemoryCacheBackend& c) { c.clear_namespace("ns"); }},
  };
  for (const auto& [name, release] : releases) {
    auto cache = MemoryCacheBackend::create(10, std::nullopt);
    ASSERT_EQ(cache->begin_compute("ns", "K"), ComputeClaim::kAcquired);
    auto waiter = std::async(std::launch::async, [cache] { cache->wait_for_compute("ns", "K", std::chrono::hours(1)); });
    // Wake-ups that leave the claim in place do not release it.
    cache->clear_node("ns", 1, std::nullopt);
    cache->clear_namespace("nsx");
    EXPECT_EQ(waiter.wait_for(kBlockedProbe), std::future_status::timeout) << name;
    release(*cache);
    EXPECT_EQ(waiter.wait_for(kPatience), std::future_status::ready) << name;
    cache->finish_compute("ns", "K");  // never leave a waiter behind
  }
}

// The lookup protocol of a cached node; returns the value it ends up with.
std::int64_t lookup_or_compute(const Backend& cache, const CacheLookup& lookup, std::atomic<int>& runs) {
  for (;;) {
    if (const auto hit = cache->get("ns", lookup); std::holds_alternative<DataMap>(hit)) {
      return std::get<DataMap>(hit).at("out").as_int();
    }
    if (cache->begin_compute("ns", lookup.key) == ComputeClaim::kBusy) {
      cache->wait_for_compute("ns", lookup.key, std::chrono::hours(1));
      continue;
    }
    if (const auto hit = cache->get("ns", lookup); std::holds_alternative<DataMap>(hit)) {
      cache->finish_compute("ns", lookup.key);
      return std::get<DataMap>(hit).at("out").as_int();
    }
    runs.fetch_add(1);
    std::this_thread::yield();
    put(cache, "ns", lookup, 42);
    cache->finish_compute("ns", lookup.key);
    return 42;
  }
}

TEST(MemoryBackendClaims, RacingThreadsComputeEachKeyOnce) {
  auto cache = MemoryCacheBackend::create(100, std::nullopt);
  constexpr int kThreads = 4;
  for (int round = 0; round < 25; ++round) {
    const CacheLookup lookup = lookup_of("K" + std::to_string(round));
    std::atomic<int> runs{0};
    std::atomic<int> ready{0};
    std::vector<std::future<std::int64_t>> workers;
    for (int t = 0; t < kThreads; ++t) {
      workers.push_back(std::async(std::launch::async, [&] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        return lookup_or_compute(cache, lookup, runs);
      }));
    }
    for (auto& worker : workers) {
      const bool done = worker.wait_for(kPatience) == std::future_status::ready;
      if (!done) cache->clear_all();  // lets wrongly blocked waiters go
      ASSERT_TRUE(done);
      EXPECT_EQ(worker.get(), 42);
    }
    EXPECT_EQ(runs.load(), 1) << "round " << round;
  }
}

TEST(MemoryBackendRecency, BookkeepingStaysBoundedUnderHits) {
  auto cache = MemoryCacheBackend::create(1000, std::nullopt);
  for (int k = 0; k < 10; ++k) put(cache, "ns", lookup_of("K" + std::to_string(k)));
  for (int i = 0; i < 10000; ++i) {
    ASSERT_EQ(get(cache, "ns", "K" + std::to_string(i % 10)), "hit:0");
    cache->check_invariants();  // among them: the recency list holds exactly the entries
  }
  EXPECT_EQ(cache->stats().entries, 10u);
  EXPECT_EQ(cache->stats().evictions, 0u);
}

// Whether another thread can take the backend's lock right now. The probe
// runs on a detached thread that owns a handle to the backend, so a backend
// that wrongly holds its lock makes this return false after kPatience
// instead of hanging the test; the probe finishes once the lock is free.
bool lock_is_free(const Backend& cache) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> probed = done->get_future();
  std::thread([cache, done] {
    cache->stats();
    done->set_value();
  }).detach();
  return probed.wait_for(kPatience) == std::future_status::ready;
}

TEST(MemoryBackendRelease, RemovedOutputsAreDroppedWithTheBackendUnlocked) {
  // Every way an entry's outputs leave the backend. Each runs with the entry
  // "victim" stored in namespace "ns" under key "V".
  const std::pair<const char*, std::function<void(const Backend&)>> removals[] = {
      {"eviction", [](const Backend& c) { put(c, "ns", lookup_of("other")); }},
      {"replacement", [](const Backend& c) { put(c, "ns", lookup_of("V"), 2); }},
      {"expiry", [](const Backend& c) { EXPECT_EQ(get(c, "ns", "V"), "expired"); }},
      {"clear_node", [](const Backend& c) { c->clear_node("ns", 1, std::nullopt); }},
      {"clear_namespace", [](const Backend& c) { c->clear_namespace("ns"); }},
      {"clear_all", [](const Backend& c) { c->clear_all(); }},
  };
  for (const auto& [name, remove] : removals) {
    SCOPED_TRACE(name);
    ReleaseLog log;
    const bool expiring = std::string(name) == "expiry";
    auto cache = MemoryCacheBackend::create(1, expiring ? std::optional(MemoryCacheBackend::Clock::duration::zero())
                                                        : std::nullopt);
    put_watched(cache, "ns", lookup_of("V"), 1, "victim");
    std::vector<std::string> unlocked_at;
    std::vector<std::string> locked_at;
    // Dropping a Python object may run code that calls straight back into
    // the backend on the same thread. Here that code stores and clears,
    // which drops one more watched value from inside the first drop.
    log.set_on_release([&](const std::string& released) {
      if (!lock_is_free(cache)) {
        locked_at.push_back(released);
        return;  // re-entering now would deadlock
      }
      unlocked_at.push_back(released);
      if (released == "victim") {
        put_watched(cache, "ns", lookup_of("nested"), 3, "nested");
        EXPECT_EQ(get(cache, "ns", "nested"), expiring ? "expired" : "hit:3");
        cache->clear_all();
      }
    });
    remove(cache);
    log.set_on_release(nullptr);
    EXPECT_EQ(locked_at, Names{});
    EXPECT_EQ(unlocked_at, (Names{"victim", "nested"}));
    EXPECT_EQ(log.take(), (Names{"victim", "nested"}));
    EXPECT_EQ(cache->stats().entries, 0u);
    cache->check_invariants();
  }
}

// The eviction rule stated plainly: a queue of every access, stale ones
// skipped when they reach the front.
struct ReferenceLru {
  std::size_t capacity;
  std::uint64_t sequence = 0;
  std::deque<std::pair<std::uint64_t, std::string>> queue;
  std::map<std::string, std::uint64_t> last_access;
  std::vector<std::string> victims;

  bool get(const std::string& key) {
    ++sequence;
    auto it = last_access.find(key);
    if (it == last_access.end()) return false;
    queue.emplace_back(it->second = sequence, key);
    return true;
  }
  void put(const std::string& key) {
    queue.emplace_back(last_access[key] = ++sequence, key);
    while (last_access.size() > capacity && !queue.empty()) {
      const auto [number, victim] = queue.front();
      queue.pop_front();
      if (auto it = last_access.find(victim); it != last_access.end() && it->second == number) {
        last_access.erase(it);
        victims.push_back(victim);
      }
    }
  }
};

TEST(MemoryBackendRecency, EvictsTheSameVictimsAsTheAccessQueueRule) {
  constexpr std::size_t kCapacity = 6;
  constexpr unsigned kKeys = 16;
  ReleaseLog log;
  auto cache = MemoryCacheBackend::create(kCapacity, std::nullopt);
  ReferenceLru model{kCapacity};
  std::mt19937 random(12345);
  std::vector<std::string> victims;
  std::size_t longest_model_queue = 0;
  auto key_of = [](unsigned k) { return "K" + std::to_string(k); };

  for (int phase = 0; phase < 60; ++phase) {
    // Runs of lookups, mostly hits on a hot subset, pile up stale records
    // in the reference queue; bursts of stores then evict.
    for (unsigned i = random() % 800; i > 0; --i) {
      const std::string key = key_of(random() % 10 < 7 ? random() % 8 : random() % kKeys);
      ASSERT_EQ(get(cache, "ns", key) == "hit:0", model.get(key)) << key;
    }
    ASSERT_EQ(log.take(), Names{}) << "hits drop nothing";
    for (unsigned i = 1 + random() % 6; i > 0; --i) {
      const std::string key = key_of(random() % kKeys);
      put_watched(cache, "ns", lookup_of(key), 0, key);
      model.put(key);
      // Besides the victims, a store drops only the outputs it replaces.
      for (const auto& name : log.take()) {
        if (name != key) victims.push_back(name);
      }
    }
    longest_model_queue = std::max(longest_model_queue, model.queue.size());
    cache->check_invariants();
  }
  EXPECT_EQ(victims, model.victims);
  EXPECT_GT(model.victims.size(), 50u);
  EXPECT_GT(longest_model_queue, 4 * (2 * kCapacity + 65));  // the reference queue held many stale records
}

}  // namespace
}  // namespace quillon
