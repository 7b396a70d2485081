// Dag: the immutable, executable form of a built graph.
//
// Dag::create orders the nodes topologically (nodes on cycles or behind
// dangling dependencies are left out, and listed by unplaced_positions()),
// groups them into levels and plans every node's call once (call_plan.hpp).
// A run executes every ordered node once (sequentially, level by level on
// worker threads, or on a dispatcher's workers as its inputs arise, see
// dispatch.hpp) through the per-node cache step, and returns the final
// execution context with the cache report. A Dag never changes after creation; any number of runs (and
// propagations, uncertainty/predict.hpp) may use it at once from different
// threads. Runs share nothing but the cache backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "cache/cached_step.hpp"
#include "cache/keys.hpp"
#include "cache/records.hpp"
#include "call_plan.hpp"
#include "dag/execution_context.hpp"
#include "dag/run_marks.hpp"
#include "dispatch.hpp"
#include "node.hpp"
#include "run_control.hpp"

namespace quillon {

// The one error a run can end with: a worker thread that could not start or
// that ended abnormally. Graph content is never an error. A run that is
// asked to stop ends with RunInterrupted instead.
class ExecutionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A node whose successful computation the backend did not store, and why.
struct UnstoredNode {
  NodeId id;
  std::string problem;
};

// How one node's step went: its wall time (cache lookup and store
// included), whether its call failed, and the failure's one-line reason when
// the node function gave one.
struct NodeRun {
  double seconds = 0.0;
  bool failed = false;
  std::optional<std::string> error;
};

struct ExecutionResult {
  ExecutionContext context;
  CacheRunStats cache_stats;
  std::unordered_map<NodeId, NodeCacheStatus> node_statuses;
  std::vector<UnstoredNode> unstored;  // in the order the nodes were applied
  // Filled when RunOptions::collect_node_runs asks.
  std::unordered_map<NodeId, NodeRun> node_runs;
};

// Everything one run may be told.
struct RunOptions {
  bool parallel = false;
  // Workers per chunk of a level; absent means one per node of the level,
  // and 0 acts as 1.
  std::optional<std::size_t> max_threads;
  ExecutionOptions cache;
  // The backend of this run; null means the Dag's own.
  CacheBackendPtr backend;
  // Polled between node calls by the thread that runs; may stop the run
  // with RunInterrupted (run_control.hpp). Null: the run is never polled.
  RunControl* control = nullptr;
  // Values placed in the context before the first node runs, by context
  // key: nodes read them as if an upstream node had written them, and a
  // node that writes the same key replaces them. Null: none.
  const DataMap* inputs = nullptr;
  // Whether the result records every node's NodeRun. Off, a run reads no
  // clock.
  bool collect_node_runs = false;
  // Told (nodes done, nodes in the order) as nodes finish. Null: nothing is
  // counted.
  ProgressSink* progress = nullptr;
  // Where node calls are made, when not on this process's threads: each
  // node is handed to the dispatcher as soon as the nodes before it that it
  // depends on or reads from have ended (not level by level), while this
  // thread keys, looks up and stores. Its inputs, outputs, cache statuses
  // and report are those of a sequential run. `parallel` and `max_threads`
  // are then not read. Null: calls run here.
  CallDispatcher* dispatcher = nullptr;

  // The namespace rule: the namespace given for the run, else the one the
  // run's backend was given with, else the Dag's own, else kDefaultNamespace.
  static std::string namespace_for(const std::optional<std::string>& given,
                                   const std::optional<std::string>& backend_namespace,
                                   const std::optional<std::string>& dag_namespace);
};

class Dag {
 public:
  static Dag create(std::vector<Node> nodes, CacheBackendPtr backend);

  ExecutionResult run(const RunOptions& options) const;

  const std::vector<Node>& nodes() const noexcept { return nodes_; }
  const std::vector<NodeId>& topological_order() const noexcept { return topological_order_; }
  const std::vector<std::vector<NodeId>>& levels() const noexcept { return levels_; }
  const CacheBackendPtr& cache_backend() const noexcept { return cache_backend_; }
  std::size_t node_count() const noexcept { return nodes_.size(); }
  // Every node's call, by position in nodes().
  const CallPlan& call_plan() const noexcept { return plan_; }
  // The topological order as positions in nodes().
  std::span<const std::size_t> order_positions() const noexcept { return order_positions_; }
  // The nodes left out of the order (on a cycle, or depending on a node that
  // is missing or itself left out), as positions in nodes(), ascending.
  std::span<const std::size_t> unplaced_positions() const noexcept { return unplaced_positions_; }
  // The context keys of this Dag's runs, numbered.
  const ContextLayoutPtr& context_layout() const noexcept { return plan_.layout(); }

  // The first node in node order with that id, or null. Constant time.
  const Node* find_node(NodeId id) const;

  // Read-only queries.
  std::string to_mermaid() const;
  // The same diagram marked with how a run treated each node (run_marks.hpp):
  // the outcome and reason under the node's label, a class per outcome and a
  // legend. Nodes without a mark are drawn as in the plain diagram.
  std::string to_mermaid(const NodeRunMarks& marks) const;
  std::vector<std::string> node_labels() const;       // sorted bytewise, unique
  std::vector<std::uint64_t> branch_ids() const;      // sorted, unique
  std::vector<std::uint64_t> variant_indices() const; // sorted, unique

 private:
  class Run;

  Dag() = default;

  // The diagram, marked when `marks` is given (queries.cpp).
  std::string mermaid_text(const NodeRunMarks* marks) const;
  void append_run_classes(std::string& out, const NodeRunMarks& marks) const;

  std::vector<Node> nodes_;
  std::vector<NodeId> topological_order_;
  std::vector<std::vector<NodeId>> levels_;
  CacheBackendPtr cache_backend_;
  // id -> position in nodes_ (first node with that id).
  std::unordered_map<NodeId, std::size_t> index_;
  // The order and the levels as positions in nodes_.
  std::vector<std::size_t> order_positions_;
  std::vector<std::vector<std::size_t>> level_positions_;
  std::vector<std::size_t> unplaced_positions_;
  CallPlan plan_;
  // Per position: how the node runs when the options cache, or null when
  // the backend decides (cached_step.hpp).
  std::vector<const UncachedRoute*> routes_;
  // Per position: identity text and code hash of nodes that can be cached
  // (versioned and cacheable); empty for the others.
  std::vector<NodeKeyParts> key_parts_;
  bool has_cached_nodes_ = false;
};

}  // namespace quillon
