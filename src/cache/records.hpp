// Cache records and the backend interface.
//
// What the engine, the key builder, the backend and the Python layer exchange
// about caching: miss reasons, per-run options, lookup and entry records,
// per-node and per-run reports, and the CacheBackend interface. Records are
// plain values. Backends are shared through CacheBackendPtr and must be safe
// to call from any thread; every implementation synchronises itself. What a
// backend promises, operation by operation, is written above CacheBackend
// below: it is the whole contract a new backend is written against.
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

// A backend's counters (CacheBackend::stats). The four event counters count
// what this backend object's own operations did, start at 0 and are never
// reset, not even by clear_all; `entries` is the number of entries stored at
// the moment and `max_entries` the capacity. Which operation moves which
// counter is listed above CacheBackend.
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

// The full key "{ns}::{key}" of (ns, key).
inline std::string make_full_key(std::string_view ns, std::string_view key) {
  std::string full;
  full.reserve(ns.size() + 2 + key.size());
  full.append(ns);
  full.append("::");
  full.append(key);
  return full;
}

// What became of a put: stored, or not and why (a text for the user, such
// as "cannot pickle '_thread.lock' object").
struct PutResult {
  bool stored = true;
  std::string problem;
};

// Outcome of claiming the computation of a key (CacheBackend::begin_compute).
enum class ComputeClaim : std::uint8_t {
  kAcquired,       // the caller now owns the claim and must end it with finish_compute
  kBusy,           // another thread owns it; wait_for_compute, then look up again
  kHeldByCaller,   // the calling thread already owns it (a re-entrant run); nothing new to end
};

// CacheBackend: where a Dag keeps node results between runs.
//
// Terms.
// - Full key. Every operation that takes a namespace `ns` and a key addresses
//   the full key, the text "{ns}::{key}". The full key alone names an entry
//   or a claim: namespaces partition the store (one key under two namespaces
//   names two entries), and two (ns, key) pairs that spell the same full key
//   name the same entry. Namespaces and keys are arbitrary byte texts; a
//   namespace may itself contain "::" (nested namespaces). Keys are normally
//   the 64 lowercase hex digits of cache/keys.hpp; others must work too.
// - Entry. What put stored under a full key: the CacheEntry (identity text,
//   code hash, input hash, dependency signature, outputs), when it expires
//   (if the backend has a time to live) and when it was last used.
// - Fingerprint. Per (namespace, identity text), the texts of the last put
//   for that identity in that namespace: its key, code hash, input hash and
//   dependency signature. Fingerprints only explain misses.
// - Invalidation. A set of (namespace, identity text) cleared by clear_node
//   or clear_namespace and not stored since; it only explains misses.
// - Claim. A mark "some thread is computing the outputs of this full key",
//   owned by the thread that took it (in a store shared between processes:
//   that thread of that process). At most one claim per full key.
// - Removing an entry (by expiry, eviction or a clear) deletes it, and also
//   deletes the fingerprint of (the namespace the entry was stored under, its
//   identity) if that fingerprint names the entry's key. Its outputs are
//   dropped as described under "Locks and Python".
//
// Who calls it. The engine calls get, put and the claim operations from its
// run threads, without the interpreter lock: several threads at once during
// a parallel level, and several Dags when they share a backend. The Python
// layer calls stats and the clears with the interpreter lock held.
//
// Thread safety. Every operation may be called from any thread at any time,
// concurrently with any other, and is atomic with respect to the others: no
// caller ever sees half of an operation's effect. A backend synchronises
// itself (a mutex, a database transaction, ...). Only wait_for_compute
// blocks on other callers; every other operation finishes after bounded
// work of its own (plus its I/O, for a backend that has some).
//
// Locks and Python. Outputs may hold Python objects (GraphData of kind
// PyObject). Copying such a value is an atomic count; dropping the last copy
// may run arbitrary Python code (__del__, weakref callbacks), and that code
// may call straight back into this backend on the same thread: a lookup, a
// store, a clear. So a backend
// - drops the outputs of the entries it removes (and an entry's old outputs
//   when put replaces them) only after it has released every lock of its
//   own, never while holding one;
// - never calls into Python, never takes the interpreter lock and never runs
//   a node function;
// - may copy outputs while locked (a hit's result), since a copy runs no code.
// The destructor drops whatever is still stored; it takes no lock, as no
// other caller can exist by then.
//
// What is stored is what is returned. A hit returns the outputs map exactly
// as put was given it (values equal, payloads possibly shared), or misses: a
// backend never returns part of an entry or a value it cannot read back
// whole. A backend that cannot keep an entry (a value it cannot persist,
// data that fails its check on the way back) treats it as absent: the
// lookup misses with kNotFound, and nothing is served instead.
//
// Counters moved by each operation (CacheStats; max_entries never changes):
//   get, a hit             hits +1
//   get, an expired entry  misses +1, expirations +1, entries -1
//   get, any other miss    misses +1
//   put                    evictions +1 per evicted entry; entries recounted
//   the three clears       entries recounted, nothing else
//   stats and the claim operations move nothing.
//
// The claim protocol (what the engine does for one cached node):
//   1. get. A hit ends the step.
//   2. begin_compute.
//      kBusy: wait_for_compute, then start again at 1.
//      kHeldByCaller: compute and put without a claim of its own (the outer
//        computation on this thread still owns the claim). It must neither
//        wait (that wait could never end) nor finish_compute (that would end
//        the outer claim early).
//      kAcquired: get once more (another thread may have stored the value
//        between 1 and 2); on a hit use it, otherwise compute and put unless
//        the computation failed. Then finish_compute, in every case.
// A claim taken with kAcquired must be ended, whether the computation stored
// a value, failed, found a hit, or was interrupted (an exception, a
// KeyboardInterrupt, a run that stops); finish_compute is the one way for a
// caller to end it, so hold it in a guard that finishes on every path. A
// claim never ends by itself: no time-out, not when its thread exits, so a
// claim that is never finished blocks every waiter on that key for ever. (A
// store shared between processes must end the claims of a process that
// died, since nobody can finish them; their waiters then return as after a
// clear.) Claims are advisory: get and put ignore them, any thread may put
// any key, and a put does not end a claim.
//
// Claims and clears. clear_all ends every claim and clear_namespace(ns) every
// claim whose full key begins with "{ns}::"; their waiters return and, on
// looking up again, miss and claim the key afresh. The owner of a cleared
// claim is not told: it goes on computing, its put still lands (replacing any
// entry stored meanwhile), and its finish_compute ends whatever claim stands
// on that full key by then, possibly one taken since by another thread
// (whose waiters then return early, look up again and at worst compute the
// key once more). clear_node leaves claims alone.
class CacheBackend {
 public:
  virtual ~CacheBackend() = default;

  // Looks up (ns, lookup.key).
  // - Stored and not expired: a hit. Returns a copy of the outputs and makes
  //   the entry the most recently used. A hit does not renew the time to
  //   live, which runs from the put.
  // - Stored but expired (now is at or past its expiry): removes the entry and
  //   returns kExpired. An expired entry is found only this way; until then
  //   it stays stored and counts in `entries`.
  // - Otherwise a miss; the reason is the first that applies:
  //   kInvalidated when (ns, lookup.identity) is invalidated; else, when a
  //   fingerprint of (ns, lookup.identity) exists: kNotFound if it names this
  //   very key (whose entry is gone; the fingerprint is deleted too), else
  //   kCodeChanged if its code hash differs from lookup.code_hash, else
  //   kInputChanged if its input hash differs, else kDependencyChanged if
  //   its dependency signature differs, else kNotFound; else kNotFound.
  // Never returns kDisabled, kMissingVersion, kNonCacheable or
  // kUnsupportedInput: those are the caller's. Ignores claims.
  virtual CacheGetResult get(const std::string& ns, const CacheLookup& lookup) = 0;

  // Stores `entry` under (ns, key) and makes it the most recently used. An
  // entry already stored under that full key is replaced: its outputs are
  // dropped, and no fingerprint changes but the one this put writes. With a
  // time to live, the new entry expires that long after now. The fingerprint
  // of (ns, entry.identity) becomes this store's texts, and (ns,
  // entry.identity) is no longer invalidated. Then, while more entries are
  // stored than the capacity allows, the least recently used one (by put or
  // hit) is evicted, i.e. removed; the entry just stored is never the one
  // evicted. Ignores claims. Takes ownership of `key` and `entry`.
  // A backend that cannot keep the entry (a value it cannot persist, a full
  // disk) stores nothing, changes nothing and says why in the result.
  virtual PutResult put(const std::string& ns, std::string key, CacheEntry entry) = 0;

  // A snapshot of the counters. Changes nothing.
  virtual CacheStats stats() = 0;

  // Removes every entry, fingerprint, invalidation and claim; waiters on any
  // key return. Afterwards every miss reports kNotFound until the next put.
  virtual void clear_all() = 0;

  // Removes every entry and claim whose full key begins with "{ns}::" (so
  // namespace "a" also clears "a::b", but not "ab"), and invalidates every
  // (ns, identity) that had a fingerprint in exactly this namespace. Waiters
  // on the removed claims return.
  virtual void clear_namespace(const std::string& ns) = 0;

  // For every fingerprint of exactly namespace `ns` whose identity text
  // begins with "id={node_id};" (node 1 does not match node 12) and, when
  // `version` is given, whose code hash is hash_canonical(*version): removes
  // the entry the fingerprint names, if stored, and invalidates (ns,
  // identity). Only that last-stored entry goes; entries of the node stored
  // earlier under other keys stay and can still hit. Claims stay.
  virtual void clear_node(const std::string& ns, std::uint64_t node_id,
                          const std::optional<std::string>& version) = 0;

  // Claims the computation of (ns, key) for the calling thread: kAcquired
  // when nobody held it (the caller must end it with finish_compute), kBusy
  // when another thread holds it, kHeldByCaller when the calling thread
  // already does (no new claim is made). See the claim protocol above.
  virtual ComputeClaim begin_compute(const std::string& ns, const std::string& key) = 0;

  // Blocks until no other thread holds a claim on (ns, key), or until
  // `timeout` has passed. True when the claim is over: at once when there is
  // no claim or the calling thread holds it itself, otherwise once
  // finish_compute or a clear has ended the claim (and no other thread has
  // claimed the key again meanwhile). False when the time ran out first; the
  // caller may look after other things (a request to stop) and wait again.
  // Returning true does not mean a value was stored: look up again.
  // Requires: the caller holds neither the interpreter lock nor any lock the
  // claim's owner may need.
  virtual bool wait_for_compute(const std::string& ns, const std::string& key, std::chrono::milliseconds timeout) = 0;

  // Ends the claim on (ns, key), whichever thread holds it, and wakes its
  // waiters. Ending a key that is not claimed does nothing.
  virtual void finish_compute(const std::string& ns, const std::string& key) = 0;

  // Makes every store made so far visible to other users of the store and
  // kept across a crash of this process, for a backend that defers that
  // work (the disk backend groups its writes). The engine calls it when a
  // run ends, however it ends. Moves no counter.
  virtual void flush() {}

  // Calls visit(value, context) for every value this backend keeps in
  // memory, once per stored copy (each output of each entry), so that the
  // Python layer can tell its cycle collector which Python objects the
  // backend keeps alive. Moves no counter and changes nothing; `visit` must
  // neither call this backend nor copy or drop the value. A backend that
  // keeps no values in memory visits nothing.
  virtual void visit_stored_values(void (*visit)(const GraphData& value, void* context), void* context) {
    static_cast<void>(visit);
    static_cast<void>(context);
  }
};

using CacheBackendPtr = std::shared_ptr<CacheBackend>;

}  // namespace quillon
