#include "cache/cached_step.hpp"

#include <charconv>
#include <string_view>
#include <utility>
#include <variant>

#include "cache/keys.hpp"

namespace quillon {

namespace {

// Claims this thread holds right now, and whether the thread that started
// it (through a parallel level) holds one or acts for one that does.
thread_local int t_claims_held = 0;
thread_local bool t_starter_holds_claim = false;

// The status carries the key only for runs that report statuses. The
// lookup's key is handed over: a hit ends the step.
void hit_result(NodeStepResult& step, std::string&& key, DataMap& outputs, const ExecutionOptions& options,
                CacheRunStats& stats) {
  ++stats.hits;
  if (options.collect_node_statuses) step.status.cache_key = key;
  step.status.hit = true;
  step.key_text = std::move(key);
  step.outputs = std::move(outputs);
}

// Releases a claim when the computation unwinds instead of returning, so
// that threads waiting for the key are not stranded. Counts the claim as
// held by this thread while it is active.
class ClaimGuard {
 public:
  ClaimGuard(CacheBackend& backend, const std::string& ns, const std::string& key)
      : backend_(backend), ns_(ns), key_(key) {
    ++t_claims_held;
  }
  ~ClaimGuard() {
    if (active_) finish();
  }
  void finish() {
    active_ = false;
    --t_claims_held;
    backend_.finish_compute(ns_, key_);
  }
  ClaimGuard(const ClaimGuard&) = delete;
  ClaimGuard& operator=(const ClaimGuard&) = delete;

 private:
  CacheBackend& backend_;
  const std::string& ns_;
  const std::string& key_;
  bool active_ = true;
};

// Stores the outputs of a successful computation (step.outputs) under the
// lookup's key, reporting into `step`.
void store_outputs(NodeStepResult& step, CacheBackend& backend, const std::string& ns, const CacheLookup& lookup,
                   CacheRunStats& stats) {
  PutResult put = backend.put(ns, lookup.key, build_cache_entry(lookup, step.outputs));
  step.status.stored = put.stored;
  if (put.stored) {
    ++stats.stores;
  } else {
    step.store_problem = std::move(put.problem);
  }
}

// Computes a claimed (or self-claimed) key and stores the result unless the
// node function failed: a failed call is reported but never served later.
void compute_and_store(NodeStepResult& step, CacheBackend& backend, ComputeOutputs compute, const std::string& ns,
                       const CacheLookup& lookup, CacheMissReason reason, CacheRunStats& stats) {
  stats.record_miss(reason);
  const bool succeeded = compute(step.outputs);
  if (!succeeded) step.outputs.clear();
  step.status.cache_key = lookup.key;
  step.status.reason = reason;
  if (succeeded) store_outputs(step, backend, ns, lookup, stats);
  step.key_text = lookup.key;
}

}  // namespace

std::string status_key_text(std::string_view prefix, NodeId id) {
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, id).ptr;
  std::string text;
  text.reserve(prefix.size() + static_cast<std::size_t>(end - digits));
  text.append(prefix);
  text.append(digits, static_cast<std::size_t>(end - digits));
  return text;
}

constexpr UncachedRoute kDisabledRoute{CacheMissReason::kDisabled, "disabled:"};
const UncachedRoute kUnsupportedInputRoute{CacheMissReason::kUnsupportedInput, "unsupported-input:"};
constexpr UncachedRoute kNonCacheableRoute{CacheMissReason::kNonCacheable, "non-cacheable:"};
constexpr UncachedRoute kMissingVersionRoute{CacheMissReason::kMissingVersion, "missing-version:"};

const UncachedRoute* run_route(const ExecutionOptions& options) noexcept {
  return !options.enabled || options.depth == CacheDepth::kNone ? &kDisabledRoute : nullptr;
}

const UncachedRoute* node_route(const Node& node) noexcept {
  if (!node.cacheable) return &kNonCacheableRoute;
  if (!node.version_set) return &kMissingVersionRoute;
  return nullptr;
}

bool lineage_holds_claim() noexcept { return t_claims_held > 0 || t_starter_holds_claim; }

ClaimLineageScope::ClaimLineageScope(bool starter_holds_claim) noexcept : saved_(t_starter_holds_claim) {
  t_starter_holds_claim = starter_holds_claim;
}

ClaimLineageScope::~ClaimLineageScope() { t_starter_holds_claim = saved_; }

bool run_cached_step(CacheBackend& backend, const Node& node, const NodeKeyParts& key_parts, const DataMap& inputs,
                     const DependencyKeyMap& dep_keys, const ExecutionOptions& options, CacheRunStats& stats,
                     ComputeOutputs compute, WhileWaiting while_waiting, NodeStepResult& step) {
  auto input_text = cache_input_text(node, inputs);
  if (!std::holds_alternative<std::string>(input_text)) return false;
  CacheLookup lookup = build_cache_lookup(key_parts, std::get<std::string>(input_text),
                                          dependency_signature(options.depth, node, dep_keys));
  const std::string& ns = options.namespace_name;

  for (;;) {
    CacheGetResult first = backend.get(ns, lookup);
    if (auto* outputs = std::get_if<DataMap>(&first)) {
      hit_result(step, std::move(lookup.key), *outputs, options, stats);
      return true;
    }
    const CacheMissReason reason = std::get<CacheMissReason>(first);

    switch (backend.begin_compute(ns, lookup.key)) {
      case ComputeClaim::kBusy:
        // Inside a re-entrant run, waiting could close a cycle of waits.
        if (lineage_holds_claim()) {
          compute_and_store(step, backend, compute, ns, lookup, reason, stats);
          return true;
        }
        while (!backend.wait_for_compute(ns, lookup.key, kWaitSlice)) while_waiting();
        continue;
      case ComputeClaim::kHeldByCaller:
        // A node function of this thread re-entered a run that reached the
        // key it is computing: waiting would never end, so compute directly.
        compute_and_store(step, backend, compute, ns, lookup, reason, stats);
        return true;
      case ComputeClaim::kAcquired:
        break;
    }

    ClaimGuard claim(backend, ns, lookup.key);
    CacheGetResult second = backend.get(ns, lookup);
    if (auto* outputs = std::get_if<DataMap>(&second)) {
      claim.finish();
      hit_result(step, std::move(lookup.key), *outputs, options, stats);
      return true;
    }
    compute_and_store(step, backend, compute, ns, lookup, reason, stats);
    claim.finish();
    return true;
  }
}

DeferredCachedStep::~DeferredCachedStep() { release(); }

void DeferredCachedStep::release() noexcept {
  if (!claimed_) return;
  claimed_ = false;
  try {
    backend_.finish_compute(options_.namespace_name, lookup_.key);
  } catch (...) {
    // Ending a claim does no I/O that may fail in the backends here; a
    // backend that throws anyway leaves its waiters to their time-outs.
  }
}

DeferredCachedStep::Start DeferredCachedStep::begin(const Node& node, const NodeKeyParts& key_parts,
                                                    const DataMap& inputs, const DependencyKeyMap& dep_keys,
                                                    CacheRunStats& stats, NodeStepResult& step) {
  auto input_text = cache_input_text(node, inputs);
  if (!std::holds_alternative<std::string>(input_text)) return Start::kUnsupported;
  lookup_ = build_cache_lookup(key_parts, std::get<std::string>(input_text),
                               dependency_signature(options_.depth, node, dep_keys));
  return begin_again(stats, step);
}

DeferredCachedStep::Start DeferredCachedStep::begin_again(CacheRunStats& stats, NodeStepResult& step) {
  const std::string& ns = options_.namespace_name;
  CacheGetResult first = backend_.get(ns, lookup_);
  if (auto* outputs = std::get_if<DataMap>(&first)) {
    hit_result(step, std::string(lookup_.key), *outputs, options_, stats);
    return Start::kHit;
  }
  reason_ = std::get<CacheMissReason>(first);
  switch (backend_.begin_compute(ns, lookup_.key)) {
    case ComputeClaim::kBusy:
      // Inside a re-entrant run, waiting could close a cycle of waits.
      if (lineage_holds_claim()) {
        stats.record_miss(reason_);
        return Start::kCompute;
      }
      return Start::kWait;
    case ComputeClaim::kHeldByCaller:
      return Start::kHeldHere;
    case ComputeClaim::kAcquired:
      break;
  }
  claimed_ = true;
  CacheGetResult second = backend_.get(ns, lookup_);
  if (auto* outputs = std::get_if<DataMap>(&second)) {
    release();
    hit_result(step, std::string(lookup_.key), *outputs, options_, stats);
    return Start::kHit;
  }
  stats.record_miss(reason_);
  return Start::kCompute;
}

void DeferredCachedStep::compute_unclaimed(CacheRunStats& stats) { stats.record_miss(reason_); }

bool DeferredCachedStep::claim_ended() {
  return backend_.wait_for_compute(options_.namespace_name, lookup_.key, std::chrono::milliseconds(0));
}

void DeferredCachedStep::finish(bool succeeded, DataMap outputs, CacheRunStats& stats, NodeStepResult& step) {
  step.outputs = succeeded ? std::move(outputs) : DataMap();
  step.status.cache_key = lookup_.key;
  step.status.reason = reason_;
  if (succeeded) store_outputs(step, backend_, options_.namespace_name, lookup_, stats);
  step.key_text = lookup_.key;
  release();
}

}  // namespace quillon
