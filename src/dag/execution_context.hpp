// ExecutionContext: the values of one run, by context key.
//
// Every key a Dag's nodes read or write is known when the Dag is built; the
// ContextLayout of its call plan (call_plan.hpp) numbers those keys, and a run keeps their values in slots
// indexed by those numbers, so that the engine moves values between nodes
// without hashing text. A key the layout does not know (only ever written
// from a cache entry whose outputs differ from the node's own table) is kept
// in a small overflow map. Reading looks like reading a map from key to
// GraphData. A context is touched by one thread at a time, except that any
// number of threads may read it while nobody writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "call_plan.hpp"
#include "graph_data.hpp"

namespace quillon {

class ExecutionContext {
 public:
  ExecutionContext() = default;  // empty, without slots
  explicit ExecutionContext(ContextLayoutPtr layout);

  // Reading, as from a map key -> value.
  bool empty() const noexcept { return size() == 0; }
  std::size_t size() const noexcept { return present_count_ + overflow_.size(); }
  const GraphData* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Throws std::out_of_range for an absent key.
  const GraphData& at(std::string_view key) const;
  // Calls f(key, value) for every entry: slots in layout order, then the
  // overflow entries in unspecified order.
  template <typename F>
  void for_each(F&& f) const {
    for (std::uint32_t slot = 0; slot < present_.size(); ++slot) {
      if (present_[slot]) f(layout_->key(slot), values_[slot]);
    }
    for (const auto& [key, value] : overflow_) f(key, value);
  }
  DataMap to_map() const;

  // The same entries split the way they are kept: f(slot, value) for every
  // set slot in layout order, and the entries without a slot.
  template <typename F>
  void for_each_slot(F&& f) const {
    for (std::uint32_t slot = 0; slot < present_.size(); ++slot) {
      if (present_[slot]) f(slot, values_[slot]);
    }
  }
  const DataMap& unslotted() const noexcept { return overflow_; }

  // The engine's side.
  const ContextLayoutPtr& layout() const noexcept { return layout_; }
  const GraphData* slot_value(std::uint32_t slot) const noexcept {
    return present_[slot] ? &values_[slot] : nullptr;
  }
  void set_slot(std::uint32_t slot, GraphData&& value) {
    if (!present_[slot]) {
      present_[slot] = 1;
      ++present_count_;
    }
    values_[slot].assign(std::move(value));
  }
  // Hands over the value of a set slot and leaves the slot unset.
  GraphData take_slot(std::uint32_t slot) noexcept {
    present_[slot] = 0;
    --present_count_;
    return std::move(values_[slot]);
  }
  // Replaces the value of any key, known to the layout or not.
  void set(const std::string& key, GraphData value);

 private:
  ContextLayoutPtr layout_;
  std::vector<GraphData> values_;
  std::vector<unsigned char> present_;
  std::size_t present_count_ = 0;
  DataMap overflow_;
};

}  // namespace quillon
