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

#include <string>

#include "cache/keys.hpp"
#include "cache/records.hpp"
#include "node.hpp"

namespace quillon {

struct NodeStepResult {
  std::string key_text;  // the cache key, or "disabled:{id}" and the like
  DataMap outputs;       // keyed by broadcast name
  NodeCacheStatus status;
};

NodeStepResult execute_node_with_cache_backend(const CacheBackendPtr& backend, const Node& node,
                                               const DataMap& context, const DependencyKeyMap& dep_keys,
                                               const ExecutionOptions& options, CacheRunStats& stats,
                                               const NodeKeyParts* key_parts = nullptr);

}  // namespace quillon
