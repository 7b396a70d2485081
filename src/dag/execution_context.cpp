#include "dag/execution_context.hpp"

#include <stdexcept>
#include <utility>

namespace quillon {

ExecutionContext::ExecutionContext(ContextLayoutPtr layout)
    : layout_(std::move(layout)), values_(layout_->size()), present_(layout_->size(), 0) {}

const GraphData* ExecutionContext::find(std::string_view key) const {
  if (layout_) {
    if (auto slot = layout_->find(key)) return slot_value(*slot);
  }
  if (overflow_.empty()) return nullptr;
  auto it = overflow_.find(std::string(key));
  return it == overflow_.end() ? nullptr : &it->second;
}

const GraphData& ExecutionContext::at(std::string_view key) const {
  const GraphData* value = find(key);
  if (value == nullptr) throw std::out_of_range("no context entry for key '" + std::string(key) + "'");
  return *value;
}

DataMap ExecutionContext::to_map() const {
  DataMap map;
  map.reserve(size());
  for_each([&](const std::string& key, const GraphData& value) { map.emplace(key, value); });
  return map;
}

void ExecutionContext::set(const std::string& key, GraphData value) {
  if (layout_) {
    if (auto slot = layout_->find(key)) {
      set_slot(*slot, std::move(value));
      return;
    }
  }
  overflow_.insert_or_assign(key, std::move(value));
}

}  // namespace quillon
