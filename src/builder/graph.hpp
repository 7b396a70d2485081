// Graph: the mutable builder in which a graph is assembled before it becomes
// a Dag.
//
// It hands out node ids, creates nodes for plain steps (add) and parameter
// sweeps (variants), attaches subgraphs as branches, collects per-label
// settings and the cache configuration, and build() derives every node's
// dependencies from the broadcast variables nodes read and write. The
// builder never checks consistency: unknown variables and cycles are left to
// the Dag. Not thread-safe; build() and branch() consume their builder.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cache/records.hpp"
#include "dag/dag.hpp"
#include "defaults.hpp"
#include "node.hpp"

namespace quillon {

// Ordered (first, second) name pairs: inputs as (broadcast, impl), outputs as
// (impl, broadcast). A repeated first element: the later pair wins.
using NamePairs = std::vector<std::pair<std::string, std::string>>;

class Graph {
 public:
  using Duration = std::chrono::steady_clock::duration;

  Graph() = default;
  Graph(Graph&&) noexcept = default;
  Graph& operator=(Graph&&) noexcept = default;
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  Graph& add(NodeFunction function, std::optional<std::string> label = std::nullopt,
             const std::optional<NamePairs>& inputs = std::nullopt,
             const std::optional<NamePairs>& outputs = std::nullopt);

  Graph& variants(const std::vector<NodeFunction>& functions, std::optional<std::string> label = std::nullopt,
                  const std::optional<NamePairs>& inputs = std::nullopt,
                  const std::optional<NamePairs>& outputs = std::nullopt);

  // Attaches a copy of the subgraph to each attach point and keeps it for
  // merging at build. Returns the new branch id (1, 2, ...).
  std::uint64_t branch(Graph subgraph);

  void set_cache_version_for(std::string label, std::string version);
  void set_dist_transfer_for(std::string label, DistTransfer transfer);
  void set_cache_key_inputs_for(std::string label, std::vector<std::string> names);
  void set_cacheable_for(std::string label, bool cacheable);
  // Whether the nodes of `label` take whole blocks of draws in propagation
  // (Node::vectorized). A subgraph's setting carries into its branch copies;
  // the builder's own setting for a label wins over it.
  void set_vectorized_for(std::string label, bool enabled);
  void set_memory_cache(std::size_t max_entries, std::optional<Duration> ttl);
  void set_cache_backend(CacheBackendPtr backend) { cache_backend_ = std::move(backend); }
  // Whether the built nodes key inputs without a canonical text by their
  // content (every node of the graph, merged branches included).
  void set_content_keys(bool enabled) { content_keys_ = enabled; }

  Dag build() &&;
  Dag build_with_cache_backend(CacheBackendPtr backend) &&;

  const std::vector<Node>& nodes() const noexcept { return nodes_; }
  const std::vector<NodeId>& last_layer() const noexcept { return last_layer_; }
  const std::optional<std::vector<NodeId>>& attach_points() const noexcept { return attach_points_; }
  // The cache-key input names set per label on this builder (not those of
  // subgraphs, which do not carry into it).
  const std::unordered_map<std::string, std::vector<std::string>>& cache_key_vars_by_label() const noexcept {
    return cache_key_vars_by_label_;
  }

  // Calls `visit` once for every shared object this builder holds, in every
  // place it holds it: visit(const Node&) for each node, visit(const
  // DistTransfer&) for each transfer kept per label and visit(const
  // CacheBackendPtr&) for the attached backend (possibly empty), then the
  // same for each subgraph kept for merging. For callers that must account
  // for what a builder keeps alive (a Node holds its own function, transfer
  // and parameters).
  template <typename Visitor>
  void for_each_holding(Visitor& visit) const {
    for (const Node& node : nodes_) visit(node);
    for (const auto& [label, transfer] : dist_transfers_by_label_) visit(transfer);
    visit(cache_backend_);
    for (const auto& [branch_id, subgraph] : branches_) subgraph.for_each_holding(visit);
  }

 private:
  NodeId take_node_id() { return next_node_id_++; }
  void merge_branch(Graph subgraph);
  void derive_dependencies();
  void apply_label_settings();

  std::vector<Node> nodes_;
  std::vector<NodeId> last_layer_;
  std::optional<std::vector<NodeId>> attach_points_;  // never empty when present
  std::vector<std::pair<std::uint64_t, Graph>> branches_;
  NodeId next_node_id_ = 0;
  std::uint64_t next_branch_id_ = 1;
  std::unordered_map<std::string, DistTransfer> dist_transfers_by_label_;
  std::unordered_map<std::string, std::string> cache_versions_by_label_;
  std::unordered_map<std::string, bool> cacheable_by_label_;
  std::unordered_map<std::string, bool> vectorized_by_label_;
  std::unordered_map<std::string, std::vector<std::string>> cache_key_vars_by_label_;
  std::size_t memory_cache_max_entries_ = kDefaultMaxEntries;
  std::optional<Duration> memory_cache_ttl_;
  CacheBackendPtr cache_backend_;
  bool content_keys_ = false;
};

}  // namespace quillon
