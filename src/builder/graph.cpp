#include "builder/graph.hpp"

#include <algorithm>
#include <unordered_set>

#include "cache/memory_backend.hpp"
#include "qualified_name.hpp"

namespace quillon {

namespace {

NameMap to_name_map(const std::optional<NamePairs>& pairs) {
  NameMap map;
  if (!pairs) return map;
  map.reserve(pairs->size());
  for (const auto& [first, second] : *pairs) map.insert_or_assign(first, second);
  return map;
}

std::string variant_label(const std::string& label, std::size_t index) {
  return label + " (v" + std::to_string(index) + ")";
}

}  // namespace

Graph& Graph::add(NodeFunction function, std::optional<std::string> label, const std::optional<NamePairs>& inputs,
                  const std::optional<NamePairs>& outputs) {
  const NameMap input_map = to_name_map(inputs);
  const NameMap output_map = to_name_map(outputs);
  // One node per node of the previous layer (or one when there is none); the
  // previous layer sets only the count, dependencies come from variables.
  const std::size_t count = std::max<std::size_t>(last_layer_.size(), 1);
  std::vector<NodeId> layer;
  layer.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const NodeId id = take_node_id();
    nodes_.push_back(Node::create(id, function, default_cache_version(id), label, input_map, output_map));
    layer.push_back(id);
  }
  last_layer_ = std::move(layer);
  attach_points_.reset();
  return *this;
}

Graph& Graph::variants(const std::vector<NodeFunction>& functions, std::optional<std::string> label,
                       const std::optional<NamePairs>& inputs, const std::optional<NamePairs>& outputs) {
  const NameMap input_map = to_name_map(inputs);
  const NameMap output_map = to_name_map(outputs);
  const std::vector<NodeId> previous = last_layer_;
  std::vector<NodeId> layer;
  layer.reserve(functions.size() * std::max<std::size_t>(previous.size(), 1));
  for (std::size_t i = 0; i < functions.size(); ++i) {
    std::optional<std::string> node_label;
    if (label) node_label = variant_label(*label, i);
    auto make = [&](std::optional<NodeId> parent) {
      const NodeId id = take_node_id();
      Node node = Node::create(id, functions[i], default_cache_version(id), node_label, input_map, output_map);
      node.variant_index = i;
      if (parent) {
        node.dependencies.push_back(*parent);
        node.is_branch = true;
      }
      nodes_.push_back(std::move(node));
      layer.push_back(id);
    };
    if (previous.empty()) {
      make(std::nullopt);
    } else {
      for (NodeId parent : previous) make(parent);
    }
  }
  last_layer_ = std::move(layer);
  if (previous.empty()) {
    attach_points_.reset();
  } else {
    attach_points_ = previous;
  }
  return *this;
}

std::uint64_t Graph::branch(Graph subgraph) {
  const std::uint64_t branch_id = next_branch_id_++;
  for (Node& node : subgraph.nodes_) {
    if (!node.label) continue;
    auto it = subgraph.dist_transfers_by_label_.find(*node.label);
    if (it != subgraph.dist_transfers_by_label_.end()) node.dist_transfer = it->second;
    auto vectorized = subgraph.vectorized_by_label_.find(*node.label);
    if (vectorized != subgraph.vectorized_by_label_.end()) node.vectorized = vectorized->second;
  }

  if (!attach_points_) {
    if (last_layer_.empty()) {
      branches_.emplace_back(branch_id, std::move(subgraph));
      return branch_id;
    }
    attach_points_ = last_layer_;
  }

  const std::vector<NodeId> attach = *attach_points_;
  std::unordered_map<NodeId, NodeId> renumbered;
  for (NodeId attach_id : attach) {
    renumbered.clear();
    for (const Node& node : subgraph.nodes_) renumbered.insert_or_assign(node.id, take_node_id());
    for (const Node& node : subgraph.nodes_) {
      Node copy = Node::create(renumbered.at(node.id), node.function, node.cache_version, node.label, node.inputs,
                               node.outputs);
      if (node.dependencies.empty()) {
        copy.dependencies.push_back(attach_id);
      } else {
        for (NodeId dep : node.dependencies) {
          if (auto it = renumbered.find(dep); it != renumbered.end()) copy.dependencies.push_back(it->second);
        }
      }
      copy.branch_id = branch_id;
      copy.is_branch = true;
      copy.dist_transfer = node.dist_transfer;
      copy.vectorized = node.vectorized;
      nodes_.push_back(std::move(copy));
    }
  }
  branches_.emplace_back(branch_id, std::move(subgraph));
  return branch_id;
}

void Graph::set_cache_version_for(std::string label, std::string version) {
  cache_versions_by_label_.insert_or_assign(std::move(label), std::move(version));
}

void Graph::set_dist_transfer_for(std::string label, DistTransfer transfer) {
  dist_transfers_by_label_.insert_or_assign(std::move(label), std::move(transfer));
}

void Graph::set_cache_key_inputs_for(std::string label, std::vector<std::string> names) {
  cache_key_vars_by_label_.insert_or_assign(std::move(label), std::move(names));
}

void Graph::set_cacheable_for(std::string label, bool cacheable) {
  cacheable_by_label_.insert_or_assign(std::move(label), cacheable);
}

void Graph::set_vectorized_for(std::string label, bool enabled) {
  vectorized_by_label_.insert_or_assign(std::move(label), enabled);
}

void Graph::set_memory_cache(std::size_t max_entries, std::optional<Duration> ttl) {
  memory_cache_max_entries_ = max_entries;
  memory_cache_ttl_ = ttl;
}

void Graph::merge_branch(Graph subgraph) {
  // Subgraph ids overlap the builder's, so a dependency is first translated
  // through the subgraph's own renumbering; only an id the subgraph does not
  // know (an attach point of one of its own branch copies) is kept as it is.
  std::unordered_map<NodeId, NodeId> renumbered;
  renumbered.reserve(subgraph.nodes_.size());
  for (const Node& node : subgraph.nodes_) renumbered.insert_or_assign(node.id, take_node_id());
  nodes_.reserve(nodes_.size() + subgraph.nodes_.size());
  for (Node& node : subgraph.nodes_) {
    node.id = renumbered.at(node.id);
    for (NodeId& dep : node.dependencies) {
      if (auto it = renumbered.find(dep); it != renumbered.end()) dep = it->second;
    }
    nodes_.push_back(std::move(node));
  }
  for (auto& [branch_id, nested] : subgraph.branches_) merge_branch(std::move(nested));
}

void Graph::derive_dependencies() {
  std::unordered_map<std::string_view, std::vector<NodeId>> producers;
  for (const Node& node : nodes_) {
    for (const auto& [impl, broadcast] : node.outputs) producers[broadcast].push_back(node.id);
  }
  std::vector<NodeId> deps;
  for (Node& node : nodes_) {
    deps = node.dependencies;
    for (const auto& [broadcast, impl] : node.inputs) {
      auto it = producers.find(QualifiedName::producer_name_of(broadcast));
      if (it == producers.end()) continue;
      for (NodeId producer : it->second) {
        if (producer != node.id) deps.push_back(producer);
      }
    }
    // Stored sorted and unique, so renderings are reproducible.
    std::sort(deps.begin(), deps.end());
    deps.erase(std::unique(deps.begin(), deps.end()), deps.end());
    node.dependencies = deps;
  }
}

void Graph::apply_label_settings() {
  for (Node& node : nodes_) {
    node.content_keys = content_keys_;
    if (!node.label) continue;
    const std::string& label = *node.label;
    if (!node.dist_transfer) {
      if (auto it = dist_transfers_by_label_.find(label); it != dist_transfers_by_label_.end()) {
        node.dist_transfer = it->second;
      }
    }
    if (auto it = cache_versions_by_label_.find(label); it != cache_versions_by_label_.end()) {
      node.cache_version = it->second;
      node.version_set = true;
    }
    if (auto it = cacheable_by_label_.find(label); it != cacheable_by_label_.end()) node.cacheable = it->second;
    if (auto it = vectorized_by_label_.find(label); it != vectorized_by_label_.end()) node.vectorized = it->second;
    if (auto it = cache_key_vars_by_label_.find(label); it != cache_key_vars_by_label_.end()) {
      node.cache_key_vars = it->second;
    }
  }
}

Dag Graph::build() && {
  auto branches = std::move(branches_);
  branches_.clear();
  for (auto& [branch_id, subgraph] : branches) merge_branch(std::move(subgraph));
  derive_dependencies();
  apply_label_settings();
  CacheBackendPtr backend = cache_backend_;
  if (!backend) backend = MemoryCacheBackend::create(memory_cache_max_entries_, memory_cache_ttl_);
  return Dag::create(std::move(nodes_), std::move(backend));
}

Dag Graph::build_with_cache_backend(CacheBackendPtr backend) && {
  cache_backend_ = std::move(backend);
  return std::move(*this).build();
}

}  // namespace quillon
