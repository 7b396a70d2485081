// The per-node step of every run: decides between running a node and
// serving it from the cache, coordinates with other threads computing the
// same key, and reports what happened.
//
// `key_parts` are the node's precomputed identity text and code hash (see
// node_key_parts).
//
// Takes no lock of its own; all coordination is the backend's. Safe to call
// from several threads at once with distinct CacheRunStats.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "cache/keys.hpp"
#include "cache/records.hpp"
#include "node.hpp"

namespace quillon {

struct NodeStepResult {
  std::string key_text;  // the cache key, or "disabled:{id}" and the like
  DataMap outputs;       // keyed by broadcast name
  NodeCacheStatus status;
  // Why a successful computation was not stored, when the backend refused.
  std::optional<std::string> store_problem;
};

// Claims and re-entrant runs. A thread that holds a compute claim is inside
// the node function whose result it will store; a run started from there
// (a re-entrant run), on that thread or on the workers of its parallel
// levels, must never wait for a claim: the claim may be its own lineage's,
// or belong to another thread whose re-entrant run waits for this lineage's
// claim, and neither wait could ever end. Such a run computes a busy key
// itself and stores the result; the later store replaces the earlier.

// True when the calling thread holds a claim, or acts for a thread that
// does (see ClaimLineageScope).
bool lineage_holds_claim() noexcept;

// Makes a parallel level's worker act for the thread that started it, which
// stays blocked until the worker is joined. Lives for the worker's run.
class ClaimLineageScope {
 public:
  explicit ClaimLineageScope(bool starter_holds_claim) noexcept;
  ~ClaimLineageScope();
  ClaimLineageScope(const ClaimLineageScope&) = delete;
  ClaimLineageScope& operator=(const ClaimLineageScope&) = delete;

 private:
  bool saved_;
};

// How a node runs when it does not go through the backend: the miss reason
// it reports and the prefix of its key text. Routes live as long as the
// program.
struct UncachedRoute {
  CacheMissReason reason;
  std::string_view key_prefix;  // "disabled:" and the like
};
// The decision in its two halves: what the options alone decide (every node
// of the run), and what the node alone decides when the options cache. Null
// when the half leaves the backend in play.
const UncachedRoute* run_route(const ExecutionOptions& options) noexcept;
const UncachedRoute* node_route(const Node& node) noexcept;
// The route of a node whose cache-key inputs have no canonical text.
extern const UncachedRoute kUnsupportedInputRoute;

// The key text of a node that ran without the backend: the prefix and the id.
std::string status_key_text(std::string_view prefix, NodeId id);

// Reports a node that ran without the backend: counts its miss in `stats`,
// and when asked for them gives its key text (the route's prefix and the
// id) and its status. Every route reports uncached misses through this.
inline void report_uncached(const UncachedRoute& route, NodeId id, CacheRunStats& stats, std::string* key_text,
                            NodeCacheStatus* status) {
  stats.record_miss(route.reason);
  if (key_text != nullptr) *key_text = status_key_text(route.key_prefix, id);
  if (status != nullptr) {
    status->cache_key.reset();
    status->hit = false;
    status->stored = false;
    status->reason = route.reason;
  }
}

// A non-owning reference to a callable, for calls that must not allocate.
template <typename Signature>
class FunctionRef;
template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
 public:
  template <typename F>
  FunctionRef(F& f) noexcept  // NOLINT: implicit on purpose, like a function pointer
      : object_(&f), call_([](void* object, Args... args) -> R { return (*static_cast<F*>(object))(args...); }) {}
  R operator()(Args... args) const { return call_(object_, args...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

// Runs the node once and hands back its outputs by broadcast name; false
// when the call failed (the outputs are then ignored).
using ComputeOutputs = FunctionRef<bool(DataMap& outputs)>;

// Called every kWaitSlice while the step waits for another thread's claim,
// so that a run can stop meanwhile: it may throw RunInterrupted.
using WhileWaiting = FunctionRef<void()>;
inline constexpr std::chrono::milliseconds kWaitSlice{4};

// The cached step of one node that the routes leave to the backend: looks
// the key up, waits for or claims its computation, runs `compute` on a miss
// and stores what a successful call produced, reporting into `step` (a
// fresh result). `inputs` are the node's gathered inputs (impl name ->
// value). False when the cache-key inputs have no canonical text: nothing
// was counted and the caller runs the node through kUnsupportedInputRoute
// instead.
bool run_cached_step(CacheBackend& backend, const Node& node, const NodeKeyParts& key_parts, const DataMap& inputs,
                     const DependencyKeyMap& dep_keys, const ExecutionOptions& options, CacheRunStats& stats,
                     ComputeOutputs compute, WhileWaiting while_waiting, NodeStepResult& step);

// The cached step in halves, for a call that may end later: begin when the
// node's inputs exist, make the call (here, as run_cached_step does, or
// elsewhere while the run goes on with other nodes), finish when the outputs
// are back. Used by one thread from begin to finish; dropped unfinished (an
// exception, a run that stops), it gives up its claim.
class DeferredCachedStep {
 public:
  enum class Start {
    kHit,          // served from the cache; `step` holds the outputs
    kCompute,      // make the call, then finish()
    kWait,         // another thread computes the key: begin_again() once claim_ended()
    kHeldHere,     // this thread already claims the key: begin_again() once it has finished
    kUnsupported,  // no canonical input text: run it through kUnsupportedInputRoute
  };

  // With `held_by_thread`, a claim counts as held by the calling thread
  // while the step holds it (lineage_holds_claim): for a call made on this
  // thread, whose re-entrant runs must not wait for claims.
  DeferredCachedStep(CacheBackend& backend, const ExecutionOptions& options, bool held_by_thread = false) noexcept
      : backend_(backend), options_(options), held_by_thread_(held_by_thread) {}
  ~DeferredCachedStep();
  DeferredCachedStep(const DeferredCachedStep&) = delete;
  DeferredCachedStep& operator=(const DeferredCachedStep&) = delete;

  // Builds the key, looks it up and, on a miss, claims its computation. A
  // hit hands the key over to `step`: key() is then empty.
  // kHeldHere leaves the choice to the run: a key it claimed itself for
  // another node is waited for; a key that an enclosing computation on this
  // thread holds is computed without a claim (finish() then stores it), as
  // a local run does.
  Start begin(const Node& node, const NodeKeyParts& key_parts, const DataMap& inputs, const DependencyKeyMap& dep_keys,
              CacheRunStats& stats, NodeStepResult& step);
  Start begin_again(CacheRunStats& stats, NodeStepResult& step);
  // Turns a kHeldHere step into a kCompute one without a claim of its own.
  void compute_unclaimed(CacheRunStats& stats);
  // Whether the claim another thread held on the key has ended.
  bool claim_ended();
  const std::string& key() const noexcept { return lookup_.key; }
  // Whether this step holds the key's claim.
  bool claimed() const noexcept { return claimed_; }
  // Ends a kCompute step with the call's outputs (by broadcast name):
  // stores them unless the call failed, then ends the claim.
  void finish(bool succeeded, DataMap outputs, CacheRunStats& stats, NodeStepResult& step);

 private:
  void claim() noexcept;
  void release() noexcept;

  CacheBackend& backend_;
  const ExecutionOptions& options_;
  const bool held_by_thread_;
  CacheLookup lookup_;
  CacheMissReason reason_ = CacheMissReason::kNotFound;
  bool claimed_ = false;
};

}  // namespace quillon
