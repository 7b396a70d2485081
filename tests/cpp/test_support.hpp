// Helpers shared by the engine tests: node functions that count their calls
// and compute simple arithmetic on named inputs.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "builder/graph.hpp"
#include "node.hpp"

namespace quillon::testing {

struct CallCounter {
  std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
  int count() const { return calls->load(); }
};

// Returns {out: value} and counts calls.
inline NodeFunction constant(const std::string& out, double value, CallCounter counter = {}) {
  return make_node_function([out, value, counter](const DataMap&) {
    counter.calls->fetch_add(1);
    return NodeOutput{{{out, GraphData::from_float(value)}}};
  });
}

// Returns {out: f(in)} when `in` is present, nothing otherwise.
inline NodeFunction unary(const std::string& in, const std::string& out, std::function<double(double)> f,
                          CallCounter counter = {}) {
  return make_node_function([in, out, f, counter](const DataMap& inputs) {
    counter.calls->fetch_add(1);
    auto it = inputs.find(in);
    if (it == inputs.end()) return NodeOutput{};
    return NodeOutput{{{out, GraphData::from_float(f(*it->second.as_f64_lossy()))}}};
  });
}

inline NodeFunction noop() {
  return make_node_function([](const DataMap&) { return NodeOutput{}; });
}

inline NamePairs pairs(std::initializer_list<std::pair<std::string, std::string>> list) { return NamePairs(list); }

}  // namespace quillon::testing
