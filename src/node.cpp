#include "node.hpp"

#include <utility>

namespace quillon {

NodeFunction make_node_function(NodeFn fn) {
  return std::make_shared<const NodeFn>(std::move(fn));
}

std::string branch_key(std::uint64_t branch_id, const std::string& name) {
  std::string key = "__branch_";
  key += std::to_string(branch_id);
  key += "__";
  key += name;
  return key;
}

std::string default_cache_version(NodeId id) {
  return "node-" + std::to_string(id) + "-version-unset";
}

std::optional<std::string> context_key_for_input(const std::string& broadcast_name) {
  const auto first = broadcast_name.find(':');
  if (first == std::string::npos) return broadcast_name;
  if (broadcast_name.find(':', first + 1) != std::string::npos) return std::nullopt;
  std::string key = "__branch_";
  key.append(broadcast_name, 0, first);
  key += "__";
  key.append(broadcast_name, first + 1, std::string::npos);
  return key;
}

Node Node::create(NodeId id, NodeFunction function, std::string cache_version,
                  std::optional<std::string> label, NameMap inputs, NameMap outputs) {
  Node node;
  node.id = id;
  node.function = std::move(function);
  node.cache_version = std::move(cache_version);
  node.label = std::move(label);
  node.inputs = std::move(inputs);
  node.outputs = std::move(outputs);
  return node;
}

DataMap Node::gather_inputs(const DataMap& context) const {
  DataMap gathered;
  gathered.reserve(inputs.size());
  for (const auto& [broadcast, impl] : inputs) {
    if (broadcast.find(':') == std::string::npos) {
      // The common case reads the broadcast name itself, without building a key.
      if (auto it = context.find(broadcast); it != context.end()) gathered.emplace(impl, it->second);
      continue;
    }
    const auto key = context_key_for_input(broadcast);
    if (!key) continue;
    if (auto it = context.find(*key); it != context.end()) gathered.emplace(impl, it->second);
  }
  return gathered;
}

NodeResult Node::execute_with_inputs(const DataMap& inputs_by_impl) const {
  NodeOutput produced = (*function)(inputs_by_impl);
  NodeResult result;
  result.failed = produced.failed;
  for (const auto& [impl, broadcast] : outputs) {
    auto it = produced.values.find(impl);
    if (it == produced.values.end()) continue;
    // The returned map is dropped right after, so its entries are moved
    // over as they are, renamed.
    auto entry = produced.values.extract(it);
    entry.key() = broadcast;
    auto moved = result.outputs.insert(std::move(entry));
    if (!moved.inserted) moved.position->second = std::move(moved.node.mapped());
  }
  return result;
}

DataMap Node::cache_key_inputs(const DataMap& inputs_by_impl) const {
  if (!cache_key_vars) return inputs_by_impl;
  DataMap restricted;
  for (const auto& name : *cache_key_vars) {
    if (auto it = inputs_by_impl.find(name); it != inputs_by_impl.end()) restricted.emplace(name, it->second);
  }
  return restricted;
}

}  // namespace quillon
