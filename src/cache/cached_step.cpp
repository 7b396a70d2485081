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

// Runs the node without touching the backend and reports a miss.
NodeStepResult run_uncached(const Node& node, const DataMap& inputs, CacheMissReason reason,
                            std::string_view key_prefix, CacheRunStats& stats) {
  stats.record_miss(reason);
  NodeResult result = node.execute_with_inputs(inputs);
  NodeStepResult step;
  step.key_text = status_key_text(key_prefix, node.id);
  step.outputs = std::move(result.outputs);
  step.status.reason = reason;
  return step;
}

// The status carries the key only for runs that report statuses. The
// lookup's key is handed over: a hit ends the step.
NodeStepResult hit_result(std::string&& key, DataMap outputs, const ExecutionOptions& options,
                          CacheRunStats& stats) {
  ++stats.hits;
  NodeStepResult step;
  if (options.collect_node_statuses) step.status.cache_key = key;
  step.status.hit = true;
  step.key_text = std::move(key);
  step.outputs = std::move(outputs);
  return step;
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

// Computes a claimed (or self-claimed) key and stores the result unless the
// node function failed: a failed call is reported but never served later.
NodeStepResult compute_and_store(CacheBackend& backend, const Node& node, const DataMap& inputs,
                                 const std::string& ns, const CacheLookup& lookup,
                                 CacheMissReason reason, CacheRunStats& stats) {
  stats.record_miss(reason);
  NodeResult result = node.execute_with_inputs(inputs);
  NodeStepResult step;
  step.status.cache_key = lookup.key;
  step.status.reason = reason;
  if (!result.failed) {
    backend.put(ns, lookup.key, build_cache_entry(lookup, result.outputs));
    step.status.stored = true;
    ++stats.stores;
  }
  step.key_text = lookup.key;
  step.outputs = std::move(result.outputs);
  return step;
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

std::optional<UncachedRoute> uncached_route(const Node& node, const ExecutionOptions& options) noexcept {
  const UncachedRoute* route = run_route(options);
  if (route == nullptr) route = node_route(node);
  if (route == nullptr) return std::nullopt;
  return *route;
}

bool lineage_holds_claim() noexcept { return t_claims_held > 0 || t_starter_holds_claim; }

ClaimLineageScope::ClaimLineageScope(bool starter_holds_claim) noexcept : saved_(t_starter_holds_claim) {
  t_starter_holds_claim = starter_holds_claim;
}

ClaimLineageScope::~ClaimLineageScope() { t_starter_holds_claim = saved_; }

NodeStepResult execute_node_with_cache_backend(const CacheBackendPtr& backend, const Node& node,
                                               const DataMap& inputs, const DependencyKeyMap& dep_keys,
                                               const ExecutionOptions& options, CacheRunStats& stats,
                                               const NodeKeyParts* key_parts) {
  if (auto route = uncached_route(node, options)) {
    return run_uncached(node, inputs, route->reason, route->key_prefix, stats);
  }

  auto input_text = node.cache_key_vars ? normalize_graph_data_map(node.cache_key_inputs(inputs))
                                        : normalize_graph_data_map(inputs);
  if (!std::holds_alternative<std::string>(input_text)) {
    return run_uncached(node, inputs, CacheMissReason::kUnsupportedInput, "unsupported-input:", stats);
  }
  std::string deps = dependency_signature(options.depth, node, dep_keys);
  const std::string& text = std::get<std::string>(input_text);
  CacheLookup lookup = key_parts ? build_cache_lookup(*key_parts, text, std::move(deps))
                                 : build_cache_lookup(node, text, std::move(deps));
  const std::string& ns = options.namespace_name;

  for (;;) {
    CacheGetResult first = backend->get(ns, lookup);
    if (auto* outputs = std::get_if<DataMap>(&first)) {
      return hit_result(std::move(lookup.key), std::move(*outputs), options, stats);
    }
    const CacheMissReason reason = std::get<CacheMissReason>(first);

    switch (backend->begin_compute(ns, lookup.key)) {
      case ComputeClaim::kBusy:
        // Inside a re-entrant run, waiting could close a cycle of waits.
        if (lineage_holds_claim()) return compute_and_store(*backend, node, inputs, ns, lookup, reason, stats);
        backend->wait_for_compute(ns, lookup.key);
        continue;
      case ComputeClaim::kHeldByCaller:
        // A node function of this thread re-entered a run that reached the
        // key it is computing: waiting would never end, so compute directly.
        return compute_and_store(*backend, node, inputs, ns, lookup, reason, stats);
      case ComputeClaim::kAcquired:
        break;
    }

    ClaimGuard claim(*backend, ns, lookup.key);
    CacheGetResult second = backend->get(ns, lookup);
    if (auto* outputs = std::get_if<DataMap>(&second)) {
      claim.finish();
      return hit_result(std::move(lookup.key), std::move(*outputs), options, stats);
    }
    NodeStepResult step = compute_and_store(*backend, node, inputs, ns, lookup, reason, stats);
    claim.finish();
    return step;
  }
}

}  // namespace quillon
