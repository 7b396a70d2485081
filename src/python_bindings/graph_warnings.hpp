// GraphWarning: the warnings that point at graphs which build and run but
// silently do less than they say.
//
// Graph.build warns once about nodes that can never run (left out of the
// order) and once about cache-key input names that no node with the label
// reads; Dag.predict_at warns when its stop target selects no node. Each
// warning goes through the warnings machinery, so a filter may turn it into
// the call's exception.
// Requires: the interpreter lock.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "dag/dag.hpp"
#include "python_bindings/module_state.hpp"
#include "uncertainty/predict.hpp"

namespace quillon::py {

// The message about the nodes `dag` left out of its order, or none.
std::optional<std::string> unplaced_nodes_message(const Dag& dag);

// The message about names in `cache_key_vars_by_label` that are not an impl
// input name of any node of `dag` carrying that label, or none.
std::optional<std::string> cache_key_inputs_message(
    const Dag& dag, const std::unordered_map<std::string, std::vector<std::string>>& cache_key_vars_by_label);

// The message about a stop target that selects no node of `dag`, or none.
std::optional<std::string> predict_target_message(const Dag& dag, const PredictTarget& target);

// Issues a GraphWarning with `message`. Throws PythonError when the warning
// was turned into an exception.
void warn_graph(const ModuleState& module, const std::string& message);

}  // namespace quillon::py
