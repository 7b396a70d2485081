#include "node.hpp"

#include <string_view>
#include <utility>
#include <vector>

namespace quillon {

namespace {

// A C++ callable over maps as a node function.
class MapFunction final : public NodeCallable {
 public:
  explicit MapFunction(NodeFn fn) : fn_(std::move(fn)) {}

  bool call(const NamedValue* inputs, std::size_t count, OutputSink& sink) const override {
    DataMap by_name;
    by_name.reserve(count);
    for (std::size_t i = 0; i < count; ++i) by_name.emplace(std::string(inputs[i].name), *inputs[i].value);
    NodeOutput produced = fn_(by_name);
    if (produced.failed) return false;
    for (auto& [name, value] : produced.values) {
      const int slot = sink.index_for(name);
      if (slot >= 0) sink.put(slot, std::move(value));
    }
    return true;
  }

 private:
  NodeFn fn_;
};

// Takes every output under its own name.
class CollectingSink final : public OutputSink {
 public:
  explicit CollectingSink(DataMap& values) : values_(values) {}
  int index_for(std::string_view name) override {
    names_.emplace_back(name);
    return static_cast<int>(names_.size() - 1);
  }
  void put(int slot, GraphData&& value) override {
    values_.insert_or_assign(names_[static_cast<std::size_t>(slot)], std::move(value));
  }

 private:
  DataMap& values_;
  std::vector<std::string> names_;
};

// Takes the outputs the node's outputs table mentions, under their
// broadcast names.
class BroadcastSink final : public OutputSink {
 public:
  BroadcastSink(const NameMap& outputs, DataMap& result) : outputs_(outputs), result_(result) {}
  int index_for(std::string_view impl_name) override {
    auto it = outputs_.find(std::string(impl_name));
    if (it == outputs_.end()) return -1;
    wanted_.push_back(&it->second);
    return static_cast<int>(wanted_.size() - 1);
  }
  void put(int slot, GraphData&& value) override {
    result_.insert_or_assign(*wanted_[static_cast<std::size_t>(slot)], std::move(value));
  }

 private:
  const NameMap& outputs_;
  DataMap& result_;
  std::vector<const std::string*> wanted_;
};

std::vector<NamedValue> named_values(const DataMap& inputs) {
  std::vector<NamedValue> named;
  named.reserve(inputs.size());
  for (const auto& [name, value] : inputs) named.push_back({name, &value});
  return named;
}

}  // namespace

NodeOutput NodeCallable::operator()(const DataMap& inputs) const {
  const std::vector<NamedValue> named = named_values(inputs);
  NodeOutput output;
  CollectingSink sink(output.values);
  output.failed = !call(named.data(), named.size(), sink);
  if (output.failed) output.values.clear();
  return output;
}

NodeFunction make_node_function(NodeFn fn) { return std::make_shared<const MapFunction>(std::move(fn)); }

std::string default_cache_version(NodeId id) {
  return "node-" + std::to_string(id) + "-version-unset";
}

std::optional<std::string> context_key_for_input(const std::string& broadcast_name) {
  return QualifiedName(broadcast_name).input_key();
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
  const std::vector<NamedValue> named = named_values(inputs_by_impl);
  NodeResult result;
  BroadcastSink sink(outputs, result.outputs);
  result.failed = !function->call(named.data(), named.size(), sink);
  if (result.failed) result.outputs.clear();
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
