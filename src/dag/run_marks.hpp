// NodeRunMarks: how one run treated each node (a cache hit, a miss and why,
// or a failed call), as a diagram marks it (Dag::to_mermaid). Plain values;
// the caller builds them from a run's report and owns them.
#pragma once

#include <string>
#include <unordered_map>

#include "node.hpp"

namespace quillon {

enum class RunOutcome : unsigned char { kHit, kMiss, kFailed };

struct NodeRunMark {
  RunOutcome outcome = RunOutcome::kMiss;
  // Why the cache was not used ("not_found", "input_changed", ...); empty
  // when unknown or for a hit. Any text: the diagram escapes it.
  std::string reason;
};

using NodeRunMarks = std::unordered_map<NodeId, NodeRunMark>;

}  // namespace quillon
