// Dag: the immutable, executable form of a built graph.
//
// Dag::create orders the nodes topologically (nodes on cycles or behind
// dangling dependencies are left out silently) and groups them into levels.
// A run executes every ordered node once, sequentially or level by level on
// worker threads, through the per-node cache step, and returns the final
// execution context with the cache report. A Dag never changes after
// creation; any number of runs may use it at once from different threads.
// Runs share nothing but the cache backend.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cache/cached_step.hpp"
#include "cache/keys.hpp"
#include "cache/records.hpp"
#include "dag/execution_context.hpp"
#include "distribution/distribution.hpp"
#include "node.hpp"

namespace quillon {

struct StatResult;     // stat_result/stat_result.hpp
struct PredictTarget;  // dag/predict.hpp

// The one error a run can end with: a worker thread that could not start or
// that ended abnormally. Graph content is never an error.
class ExecutionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ExecutionResult {
  ExecutionContext context;
  CacheRunStats cache_stats;
  std::unordered_map<NodeId, NodeCacheStatus> node_statuses;
};

class Dag {
 public:
  static Dag create(std::vector<Node> nodes, CacheBackendPtr backend);

  // max_threads absent means one worker per node of a level; 0 acts as 1.
  ExecutionResult execute_detailed_with_options(bool parallel, std::optional<std::size_t> max_threads,
                                                const ExecutionOptions& options) const;

  // The same run with every cached step going to another backend; this
  // Dag's own backend is untouched.
  ExecutionResult execute_detailed_with_backend_options(bool parallel, std::optional<std::size_t> max_threads,
                                                        const ExecutionOptions& options,
                                                        CacheBackendPtr backend) const;

  const std::vector<Node>& nodes() const noexcept { return nodes_; }
  const std::vector<NodeId>& topological_order() const noexcept { return topological_order_; }
  const std::vector<std::vector<NodeId>>& levels() const noexcept { return levels_; }
  const CacheBackendPtr& cache_backend() const noexcept { return cache_backend_; }
  std::size_t node_count() const noexcept { return nodes_.size(); }
  // The context keys of this Dag's runs, numbered.
  const ContextLayoutPtr& context_layout() const noexcept { return layout_; }

  // The first node in node order with that id, or null. Constant time.
  const Node* find_node(NodeId id) const;

  // Uncertainty propagation (dag/predict.hpp): node by node, or by whole
  // trajectories. Both run on the calling thread and only read the Dag.
  StatResult predict_at(DistMap inputs, std::optional<std::size_t> n_samples,
                        const std::optional<PredictTarget>& target) const;
  StatResult predict(const DistMap& inputs, std::size_t n_samples) const;

  // Read-only queries.
  std::string to_mermaid() const;
  std::vector<std::string> node_labels() const;       // sorted bytewise, unique
  std::vector<std::uint64_t> branch_ids() const;      // sorted, unique
  std::vector<std::uint64_t> variant_indices() const; // sorted, unique

 private:
  // What a run needs of one node, kept compact, with the inputs and outputs
  // of all nodes in two flat arrays and their impl names in one pool of
  // text, so that a run walks little memory and walks it in order.
  struct PlannedName {
    std::uint32_t offset;  // into names_
    std::uint32_t length;
    std::uint32_t slot;    // context slot read or written
  };
  struct StepPlan {
    const NodeCallable* function;
    const UncachedRoute* route;                // when the node alone rules out the backend
    std::uint32_t inputs_begin, inputs_end;    // in the order gather_inputs reads them
    std::uint32_t outputs_begin, outputs_end;  // sorted by impl name
    bool repeated_impl = false;                // whether two inputs feed one impl name
    // Whether outputs may be written straight into the context while the
    // call runs: at most 64 outputs, no two on one slot, none on a slot the
    // node reads.
    bool direct = false;
  };
  // One node's step, ready to be applied to the context.
  struct StepRecord {
    // The first `count` entries of `values` (slot -> value, later wins) are
    // this step's; entries beyond are moved-from leftovers, kept so that
    // the buffer is reused from node to node without reallocating.
    std::vector<std::pair<std::uint32_t, GraphData>> values;
    std::size_t count = 0;
    DataMap unplaced;  // context key -> value for keys without a slot
    std::string key_text;
    NodeCacheStatus status;

    void push(std::uint32_t slot, GraphData&& value) {
      if (count < values.size()) {
        values[count].first = slot;
        values[count].second.assign(std::move(value));
      } else {
        values.emplace_back(slot, std::move(value));
      }
      ++count;
    }
  };
  // Per-thread scratch space reused from node to node.
  struct Scratch {
    Scratch(const ExecutionOptions& options, const CacheBackendPtr& backend, std::size_t max_inputs)
        : run_route(quillon::run_route(options)), backend(backend), gathered(max_inputs) {}
    const UncachedRoute* run_route;  // when the options alone rule out the backend
    const CacheBackendPtr& backend;  // the run's backend
    std::vector<NamedValue> gathered;  // room for any node's inputs
    StepRecord record;
    std::vector<std::pair<int, GraphData>> replaced;  // DirectSink's saved values
  };

  class PlannedSink;
  class SlotSink;
  class DirectSink;

  Dag() = default;

  void plan_slots();
  // Whether a run with these options reads upstream key texts at all.
  bool needs_dependency_keys(const ExecutionOptions& options) const;
  // The per-node step for the node at position `pos`, into scratch.record.
  void run_step(std::size_t pos, const ExecutionContext& context, const DependencyKeyMap& dep_keys,
                const ExecutionOptions& options, bool want_key_text, CacheRunStats& stats, Scratch& scratch) const;
  Scratch scratch_for(const ExecutionOptions& options, const CacheBackendPtr& backend) const {
    return Scratch(options, backend, max_inputs_);
  }
  // The node's inputs present in the context, into `gathered` (room for all
  // of the node's inputs); returns how many.
  std::size_t gather(const StepPlan& plan, const ExecutionContext& context, NamedValue* gathered) const;
  // The whole step of an uncached node whose plan allows it: the call
  // writes straight into the run's context, and a failed call's writes are
  // undone. Only while nothing else reads the context.
  void run_direct(std::size_t pos, const UncachedRoute& route, ExecutionResult& result, DependencyKeyMap* dep_keys,
                  const ExecutionOptions& options, Scratch& scratch) const;
  // Runs the node at `pos` to the end, on the calling thread, as the only
  // user of the run's context.
  void run_inline(std::size_t pos, ExecutionResult& result, DependencyKeyMap& dep_keys, const ExecutionOptions& options,
                  bool want_keys, Scratch& scratch) const;
  // Writes a step's outputs, key text and status into the run.
  void apply_step(std::size_t pos, StepRecord& record, ExecutionResult& result, DependencyKeyMap* dep_keys,
                  const ExecutionOptions& options) const;
  ExecutionResult run_sequential(const ExecutionOptions& options, const CacheBackendPtr& backend) const;
  ExecutionResult run_parallel(std::optional<std::size_t> max_threads, const ExecutionOptions& options,
                               const CacheBackendPtr& backend) const;

  std::vector<Node> nodes_;
  std::vector<NodeId> topological_order_;
  std::vector<std::vector<NodeId>> levels_;
  CacheBackendPtr cache_backend_;
  // id -> position in nodes_ (first node with that id).
  std::unordered_map<NodeId, std::size_t> index_;
  // The order and the levels as positions in nodes_.
  std::vector<std::size_t> order_positions_;
  std::vector<std::vector<std::size_t>> level_positions_;
  // Per position: identity text and code hash of nodes that can be cached
  // (versioned and cacheable); empty for the others.
  std::vector<NodeKeyParts> key_parts_;
  bool has_cached_nodes_ = false;
  ContextLayoutPtr layout_;
  std::vector<StepPlan> plan_;  // per position
  std::vector<PlannedName> planned_inputs_;
  std::size_t max_inputs_ = 0;  // the most inputs one node reads
  std::vector<PlannedName> planned_outputs_;
  std::vector<std::string> output_broadcasts_;  // broadcast name per planned output
  std::string names_;                           // the planned impl names, end to end

  // The index among a node's planned outputs of `impl_name`, -1 if absent.
  int output_index(const PlannedName* outputs, std::size_t count, std::string_view impl_name) const noexcept;

  std::string_view name_of(const PlannedName& planned) const noexcept {
    return std::string_view(names_.data() + planned.offset, planned.length);
  }
};

}  // namespace quillon
