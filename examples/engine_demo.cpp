// A small C++ walk through the engine: build a graph, run it plain, cached and
// in parallel, and print its Mermaid text.
#include <cstdio>

#include "builder/graph.hpp"
#include "cache/records.hpp"

using namespace quillon;

int main() {
  Graph graph;
  graph.add(make_node_function([](const DataMap&) {
              return NodeOutput{{{"x", GraphData::from_float(2.0)}}};
            }),
            "Source", std::nullopt, NamePairs{{"x", "data"}});
  graph.add(make_node_function([](const DataMap& in) {
              return NodeOutput{{{"y", GraphData::from_float(in.at("x").as_float() * 10.0)}}};
            }),
            "Scale", NamePairs{{"data", "x"}}, NamePairs{{"y", "out"}});
  graph.set_cache_version_for("Source", "v1");
  graph.set_cache_version_for("Scale", "v1");
  const Dag dag = std::move(graph).build();

  ExecutionOptions options;
  for (int run = 1; run <= 2; ++run) {
    const ExecutionResult result = dag.run({.parallel = run == 2, .cache = options});
    std::printf("run %d: out = %g, hits = %llu, misses = %llu, stores = %llu\n", run,
                result.context.at("out").as_float(), static_cast<unsigned long long>(result.cache_stats.hits),
                static_cast<unsigned long long>(result.cache_stats.misses),
                static_cast<unsigned long long>(result.cache_stats.stores));
    for (NodeId id : dag.topological_order()) {
      const NodeCacheStatus& status = result.node_statuses.at(id);
      std::printf("  node %llu: %s\n", static_cast<unsigned long long>(id),
                  status.hit ? "hit" : std::string(to_string(*status.reason)).c_str());
    }
  }
  std::printf("%s", dag.to_mermaid().c_str());
  return 0;
}
