#include "call_plan.hpp"

#include <algorithm>

#include "qualified_name.hpp"

namespace quillon {

std::uint32_t ContextLayout::intern(std::string_view key) {
  auto [it, inserted] = index_.try_emplace(std::string(key), static_cast<std::uint32_t>(keys_.size()));
  if (inserted) keys_.push_back(it->first);
  return it->second;
}

std::optional<std::uint32_t> ContextLayout::find(std::string_view key) const {
  auto it = index_.find(key);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

CallPlan::CallPlan(std::span<const Node> nodes, std::span<const std::size_t> order) {
  auto layout = std::make_shared<ContextLayout>();
  steps_.resize(nodes.size());

  // Output keys first, in the order given, then the nodes outside it.
  std::vector<std::vector<std::pair<std::string, std::uint32_t>>> written(nodes.size());
  auto number_outputs = [&](std::size_t pos) {
    const Node& node = nodes[pos];
    for (const auto& [impl, broadcast] : node.outputs) {
      const std::string key = node.branch_id ? branch_key(*node.branch_id, broadcast) : broadcast;
      written[pos].emplace_back(impl, layout->intern(key));
    }
  };
  std::vector<bool> numbered(nodes.size(), false);
  for (std::size_t pos : order) {
    number_outputs(pos);
    numbered[pos] = true;
  }
  for (std::size_t pos = 0; pos < nodes.size(); ++pos) {
    if (!numbered[pos]) number_outputs(pos);
  }

  for (std::size_t pos = 0; pos < nodes.size(); ++pos) {
    const Node& node = nodes[pos];
    Step& step = steps_[pos];
    step.function = node.function.get();

    step.inputs_begin = static_cast<std::uint32_t>(inputs_.size());
    std::vector<std::pair<std::string, std::string>> looked_up;  // (impl, key) of names never gathered
    for (const auto& [broadcast, impl] : node.inputs) {
      std::uint32_t slot;
      if (QualifiedName::is_plain(broadcast)) {
        slot = layout->intern(broadcast);
      } else {
        const QualifiedName name(broadcast);
        if (!name.input_key()) {
          looked_up.emplace_back(impl, name.lookup_key());
          continue;
        }
        slot = layout->intern(*name.input_key());
      }
      for (std::size_t i = step.inputs_begin; i < inputs_.size(); ++i) {
        step.repeated_impl = step.repeated_impl || this->impl(inputs_[i]) == impl;
      }
      inputs_.push_back(add_name(impl, slot));
    }
    step.inputs_end = static_cast<std::uint32_t>(inputs_.size());
    max_inputs_ = std::max<std::size_t>(max_inputs_, step.inputs_end - step.inputs_begin);

    step.lookups_begin = static_cast<std::uint32_t>(lookups_.size());
    for (const auto& [impl, key] : looked_up) lookups_.push_back(add_name(impl, layout->intern(key)));
    step.lookups_end = static_cast<std::uint32_t>(lookups_.size());

    auto& own = written[pos];
    std::sort(own.begin(), own.end());
    step.outputs_begin = static_cast<std::uint32_t>(outputs_.size());
    for (const auto& [impl, slot] : own) {
      broadcasts_.push_back(node.outputs.at(impl));
      outputs_.push_back(add_name(impl, slot));
    }
    step.outputs_end = static_cast<std::uint32_t>(outputs_.size());

    std::vector<std::uint32_t> slots;
    for (const Name& output : outputs(step)) slots.push_back(output.slot);
    std::sort(slots.begin(), slots.end());
    const bool distinct = std::adjacent_find(slots.begin(), slots.end()) == slots.end();
    const bool reads_written = std::any_of(inputs(step).begin(), inputs(step).end(), [&](const Name& input) {
      return std::binary_search(slots.begin(), slots.end(), input.slot);
    });
    step.direct = slots.size() <= 64 && distinct && !reads_written;
  }
  layout_ = std::move(layout);

  // Call sites last, once the label pool is complete and will not move.
  auto labels = std::make_shared<std::string>();
  for (const Node& node : nodes) {
    if (node.label) *labels += *node.label;
  }
  std::size_t offset = 0;
  for (std::size_t pos = 0; pos < nodes.size(); ++pos) {
    CallSite& site = steps_[pos].site;
    site.id = nodes[pos].id;
    if (const auto& label = nodes[pos].label) {
      site.label = std::string_view(labels->data() + offset, label->size());
      offset += label->size();
    }
  }
  labels_ = std::move(labels);
}

CallPlan::Name CallPlan::add_name(const std::string& impl, std::uint32_t slot) {
  const Name name{static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(impl.size()), slot};
  names_ += impl;
  return name;
}

bool CallPlan::taken(const NamedValue* gathered, std::size_t count, std::string_view name) noexcept {
  return std::any_of(gathered, gathered + count, [&](const NamedValue& g) { return g.name == name; });
}

int CallPlan::search_output(const Step& step, std::string_view impl_name) const noexcept {
  const std::span<const Name> own = outputs(step);
  auto before = [&](const Name& output, std::string_view name) { return impl(output) < name; };
  auto it = std::lower_bound(own.begin(), own.end(), impl_name, before);
  if (it == own.end() || impl(*it) != impl_name) return -1;
  return static_cast<int>(it - own.begin());
}

}  // namespace quillon
