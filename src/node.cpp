#include "node.hpp"

#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "call_plan.hpp"

namespace quillon {

namespace {

// A C++ callable over maps as a node function.
class MapFunction final : public NodeCallable {
 public:
  explicit MapFunction(NodeFn fn) : fn_(std::move(fn)) {}

  bool call(const NamedValue* inputs, std::size_t count, OutputSink& sink, const CallSite&) const override {
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

std::vector<NamedValue> named_values(const DataMap& inputs) {
  std::vector<NamedValue> named;
  named.reserve(inputs.size());
  for (const auto& [name, value] : inputs) named.push_back({name, &value});
  return named;
}

}  // namespace

std::string describe_node(const CallSite& site) {
  std::string text = "node ";
  if (site.label) {
    text += '\'';
    text += *site.label;
    text += '\'';
  } else {
    text += "<unlabelled>";
  }
  text += " (id ";
  text += std::to_string(site.id);
  text += ')';
  return text;
}

std::optional<std::string> NodeCallable::call_block(const BlockInput* /*inputs*/, std::size_t /*count*/,
                                                    std::size_t /*length*/, BlockSink& /*sink*/,
                                                    const CallSite& /*site*/) const {
  return "the node function takes no blocks";
}

NodeFunction make_node_function(NodeFn fn) { return std::make_shared<const MapFunction>(std::move(fn)); }

namespace {
thread_local std::optional<std::string> t_call_failure;
}  // namespace

void note_call_failure(std::string text) noexcept { t_call_failure = std::move(text); }

std::optional<std::string> take_call_failure() noexcept {
  std::optional<std::string> text = std::move(t_call_failure);
  t_call_failure.reset();
  return text;
}

std::string default_cache_version(NodeId id) {
  return "node-" + std::to_string(id) + "-version-unset";
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

namespace {

// The plan of one node on its own, for the calls of the map-based API.
CallPlan plan_of(const Node& node) { return CallPlan(std::span<const Node>(&node, 1), {}); }

std::size_t gather_from(const CallPlan& plan, const DataMap& context, NamedValue* gathered) {
  return plan.gather(
      plan.step(0),
      [&](const CallPlan::Name& input) -> const GraphData* {
        auto it = context.find(plan.key(input.slot));
        return it == context.end() ? nullptr : &it->second;
      },
      gathered);
}

NodeResult call_with(const CallPlan& plan, const NamedValue* inputs, std::size_t count) {
  const CallPlan::Step& step = plan.step(0);
  CallRecord record;
  NodeResult result;
  result.failed = !call_into(plan, step, inputs, count, record);
  for (auto& [index, value] : record) result.outputs.insert_or_assign(plan.broadcast(step, index), std::move(value));
  return result;
}

}  // namespace

DataMap Node::gather_inputs(const DataMap& context) const {
  const CallPlan plan = plan_of(*this);
  std::vector<NamedValue> gathered(plan.max_inputs());
  const std::size_t count = gather_from(plan, context, gathered.data());
  DataMap inputs_by_impl;
  inputs_by_impl.reserve(count);
  for (std::size_t i = 0; i < count; ++i) inputs_by_impl.emplace(gathered[i].name, *gathered[i].value);
  return inputs_by_impl;
}

NodeResult Node::execute_with_inputs(const DataMap& inputs_by_impl) const {
  const std::vector<NamedValue> named = named_values(inputs_by_impl);
  return call_with(plan_of(*this), named.data(), named.size());
}

NodeResult Node::execute(const DataMap& context) const {
  const CallPlan plan = plan_of(*this);
  std::vector<NamedValue> gathered(plan.max_inputs());
  return call_with(plan, gathered.data(), gather_from(plan, context, gathered.data()));
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
