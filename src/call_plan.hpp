// CallPlan: how every node of a graph is called, resolved once.
//
// For each node the plan holds the inputs it gathers and the outputs it
// maps, with every name already parsed and every context key numbered:
// - inputs in the order the node's table lists them, each an impl name and
//   the context key it reads (QualifiedName::input_key); names that cannot
//   be gathered are left out, and when two inputs feed one impl name the
//   first one present in a call wins;
// - lookups: those left-out names under the key the propagation layer finds
//   distributions by (QualifiedName::lookup_key), which only it reads;
// - outputs sorted by impl name, each with its broadcast name and the
//   context key it writes (the branch key for a branch copy).
// Every way of calling a node (sequential and parallel runs, the cached
// step, Monte Carlo draws, particles, Node::execute) reads this one plan;
// RecordSink is how any of them receives a call's outputs.
//
// A ContextLayout numbers context keys. A plan and its layout never change
// after construction and may be read from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graph_data.hpp"
#include "node.hpp"

namespace quillon {

// Context keys, numbered on first sight.
class ContextLayout {
 public:
  std::uint32_t intern(std::string_view key);
  std::optional<std::uint32_t> find(std::string_view key) const;
  const std::string& key(std::uint32_t slot) const { return keys_[slot]; }
  std::size_t size() const noexcept { return keys_.size(); }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };
  std::vector<std::string> keys_;
  std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> index_;
};

using ContextLayoutPtr = std::shared_ptr<const ContextLayout>;

class CallPlan {
 public:
  // An impl name (in the plan's pool of text) and the context slot it reads
  // or writes.
  struct Name {
    std::uint32_t offset;
    std::uint32_t length;
    std::uint32_t slot;
  };
  // One node's call. Ranges index the plan's flat arrays, so that a run
  // walks little memory and walks it in order.
  struct Step {
    const NodeCallable* function = nullptr;
    // The node's call site; its label views the plan's label pool.
    CallSite site;
    std::uint32_t inputs_begin = 0, inputs_end = 0;
    std::uint32_t lookups_begin = 0, lookups_end = 0;
    std::uint32_t outputs_begin = 0, outputs_end = 0;
    bool repeated_impl = false;  // whether two inputs feed one impl name
    // Whether outputs may be written straight into a context while the call
    // runs: at most 64 outputs, no two on one slot, none on a slot the node
    // reads (so every input stays intact for the whole call).
    bool direct = false;
  };

  CallPlan() = default;
  // Plans `nodes` (by position). Keys are numbered as the positions in
  // `order` first write them, then as the remaining nodes write theirs, then
  // every key only read, so that a context lists values in the order they
  // arose.
  CallPlan(std::span<const Node> nodes, std::span<const std::size_t> order);

  const Step& step(std::size_t pos) const { return steps_[pos]; }
  std::span<const Name> inputs(const Step& step) const {
    return {inputs_.data() + step.inputs_begin, inputs_.data() + step.inputs_end};
  }
  std::span<const Name> lookups(const Step& step) const {
    return {lookups_.data() + step.lookups_begin, lookups_.data() + step.lookups_end};
  }
  std::span<const Name> outputs(const Step& step) const {
    return {outputs_.data() + step.outputs_begin, outputs_.data() + step.outputs_end};
  }
  std::string_view impl(const Name& name) const noexcept {
    return std::string_view(names_.data() + name.offset, name.length);
  }
  // The broadcast name of output `index` of `step`.
  const std::string& broadcast(const Step& step, std::size_t index) const {
    return broadcasts_[step.outputs_begin + index];
  }
  // The index among the step's outputs of `impl_name`, -1 if it maps none.
  // Sorted by impl name, which is unique within a node; most nodes have a
  // handful of outputs, and those are scanned in place.
  int output_index(const Step& step, std::string_view impl_name) const noexcept {
    const std::size_t count = step.outputs_end - step.outputs_begin;
    if (count > 8) return search_output(step, impl_name);
    const Name* own = outputs_.data() + step.outputs_begin;
    for (std::size_t i = 0; i < count; ++i) {
      if (same_name(impl(own[i]), impl_name)) return static_cast<int>(i);
    }
    return -1;
  }
  // The index among the step's outputs of one that writes `broadcast`, -1
  // if none does.
  int output_for_broadcast(const Step& step, std::string_view broadcast) const noexcept {
    for (std::uint32_t i = step.outputs_begin; i < step.outputs_end; ++i) {
      if (broadcasts_[i] == broadcast) return static_cast<int>(i - step.outputs_begin);
    }
    return -1;
  }

  const ContextLayoutPtr& layout() const noexcept { return layout_; }
  const std::string& key(std::uint32_t slot) const { return layout_->key(slot); }
  std::size_t max_inputs() const noexcept { return max_inputs_; }

  // The step's inputs present in a call, into `gathered` (room for all of
  // the step's inputs); returns how many. `value_of(input)` gives the value
  // of one of the step's input Names, or null when it is absent.
  template <typename ValueOf>
  std::size_t gather(const Step& step, ValueOf&& value_of, NamedValue* gathered) const {
    std::size_t count = 0;
    for (const Name& input : inputs(step)) {
      const GraphData* value = value_of(input);
      if (value == nullptr) continue;
      const std::string_view name = impl(input);
      if (step.repeated_impl && taken(gathered, count, name)) continue;
      gathered[count++] = {name, value};
    }
    return count;
  }

 private:
  static bool taken(const NamedValue* gathered, std::size_t count, std::string_view name) noexcept;
  int search_output(const Step& step, std::string_view impl_name) const noexcept;
  Name add_name(const std::string& impl, std::uint32_t slot);

  std::vector<Step> steps_;  // per position
  std::vector<Name> inputs_;
  std::vector<Name> lookups_;
  std::vector<Name> outputs_;
  std::vector<std::string> broadcasts_;  // per output
  std::string names_;                    // the impl names, end to end
  // The labels, end to end, viewed by the steps' call sites. Shared, so
  // that the views stay valid in every copy of the plan.
  std::shared_ptr<const std::string> labels_;
  std::size_t max_inputs_ = 0;
  ContextLayoutPtr layout_;
};

// A call's outputs as the function offered them: (output index, value) in
// offer order, so that a later offer for one target replaces an earlier one
// when applied in order. The buffer is kept from call to call.
class CallRecord {
 public:
  using Entry = std::pair<std::uint32_t, GraphData>;

  void clear() noexcept { count_ = 0; }
  void push(std::uint32_t index, GraphData&& value) {
    if (count_ < entries_.size()) {
      entries_[count_].first = index;
      entries_[count_].second.assign(std::move(value));
    } else {
      entries_.emplace_back(index, std::move(value));
    }
    ++count_;
  }
  Entry* begin() noexcept { return entries_.data(); }
  Entry* end() noexcept { return entries_.data() + count_; }
  const Entry* begin() const noexcept { return entries_.data(); }
  const Entry* end() const noexcept { return entries_.data() + count_; }
  bool empty() const noexcept { return count_ == 0; }

 private:
  // Entries beyond count_ are moved-from leftovers, kept for reuse.
  std::vector<Entry> entries_;
  std::size_t count_ = 0;
};

// Receives one planned call's outputs into a CallRecord.
class RecordSink final : public OutputSink {
 public:
  RecordSink(const CallPlan& plan, const CallPlan::Step& step, CallRecord& record)
      : plan_(plan), step_(step), record_(record) {}
  int index_for(std::string_view impl_name) override { return plan_.output_index(step_, impl_name); }
  void put(int index, GraphData&& value) override {
    record_.push(static_cast<std::uint32_t>(index), std::move(value));
  }

 private:
  const CallPlan& plan_;
  const CallPlan::Step& step_;
  CallRecord& record_;
};

// Calls the step's function once on `inputs` with its outputs going into
// `record` (cleared first). False when the call failed; the record is then
// empty. With `report` false the function writes nothing about a failure.
inline bool call_into(const CallPlan& plan, const CallPlan::Step& step, const NamedValue* inputs, std::size_t count,
                      CallRecord& record, bool report = true) {
  record.clear();
  RecordSink sink(plan, step, record);
  bool succeeded;
  if (report) [[likely]] {
    succeeded = step.function->call(inputs, count, sink, step.site);
  } else {
    CallSite quiet = step.site;
    quiet.report = false;
    succeeded = step.function->call(inputs, count, sink, quiet);
  }
  if (succeeded) return true;
  record.clear();
  return false;
}

}  // namespace quillon
