// The per-node step of every run: decides between running a node and
// serving it from the cache, coordinates with other threads computing the
// same key, and reports what happened.
//
// `key_parts`, when given, are the node's precomputed identity text and code
// hash (see node_key_parts); otherwise they are computed here.
//
// Takes no lock of its own; all coordination is the backend's. Safe to call
// from several threads at once with distinct CacheRunStats.
#pragma once

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

// How a node runs when it does not go through the backend under `options`:
// the miss reason it reports and the prefix of its key text. Absent when the
// node takes the cached path.
struct UncachedRoute {
  CacheMissReason reason;
  std::string_view key_prefix;  // "disabled:" and the like
};
std::optional<UncachedRoute> uncached_route(const Node& node, const ExecutionOptions& options) noexcept;
// The same decision in its two halves: what the options alone decide (every
// node of the run), and what the node alone decides when the options cache.
// Null when the half leaves the backend in play; otherwise a route that lives
// as long as the program.
const UncachedRoute* run_route(const ExecutionOptions& options) noexcept;
const UncachedRoute* node_route(const Node& node) noexcept;

// The key text of a node that ran without the backend: the prefix and the id.
std::string status_key_text(std::string_view prefix, NodeId id);

// The step for one node whose inputs were gathered from the run's context
// (impl name -> value, as Node::gather_inputs makes them).
NodeStepResult execute_node_with_cache_backend(const CacheBackendPtr& backend, const Node& node,
                                               const DataMap& inputs, const DependencyKeyMap& dep_keys,
                                               const ExecutionOptions& options, CacheRunStats& stats,
                                               const NodeKeyParts* key_parts = nullptr);

}  // namespace quillon
