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
  // The call runs on this thread: a claim counts as this thread's while it
  // is held, so that a run started from inside the call never waits for it.
  DeferredCachedStep deferred(backend, options, /*held_by_thread=*/true);
  DeferredCachedStep::Start start = deferred.begin(node, key_parts, inputs, dep_keys, stats, step);
  for (;;) {
    switch (start) {
      case DeferredCachedStep::Start::kUnsupported:
        return false;
      case DeferredCachedStep::Start::kHit:
        return true;
      case DeferredCachedStep::Start::kWait:
        while (!backend.wait_for_compute(options.namespace_name, deferred.key(), kWaitSlice)) while_waiting();
        start = deferred.begin_again(stats, step);
        continue;
      case DeferredCachedStep::Start::kHeldHere:
        // A node function of this thread re-entered a run that reached the
        // key it is computing: waiting would never end, so compute directly.
        deferred.compute_unclaimed(stats);
        [[fallthrough]];
      case DeferredCachedStep::Start::kCompute: {
        DataMap outputs;
        const bool succeeded = compute(outputs);
        deferred.finish(succeeded, std::move(outputs), stats, step);
        return true;
      }
    }
  }
}

DeferredCachedStep::~DeferredCachedStep() { release(); }

void DeferredCachedStep::claim() noexcept {
  claimed_ = true;
  if (held_by_thread_) ++t_claims_held;
}

void DeferredCachedStep::release() noexcept {
  if (!claimed_) return;
  claimed_ = false;
  if (held_by_thread_) --t_claims_held;
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
    hit_result(step, std::move(lookup_.key), *outputs, options_, stats);
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
  claim();
  CacheGetResult second = backend_.get(ns, lookup_);
  if (auto* outputs = std::get_if<DataMap>(&second)) {
    release();
    hit_result(step, std::move(lookup_.key), *outputs, options_, stats);
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
  if (succeeded) {
    PutResult put = backend_.put(options_.namespace_name, lookup_.key, build_cache_entry(lookup_, step.outputs));
    step.status.stored = put.stored;
    if (put.stored) {
      ++stats.stores;
    } else {
      step.store_problem = std::move(put.problem);
    }
  }
  step.key_text = lookup_.key;
  release();
}

}  // namespace quillon
