#include "dag/dag.hpp"

#include <algorithm>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "cache/cached_step.hpp"

namespace quillon {

namespace {

// Writes a node's outputs into the result: branch copies under their
// branch-qualified keys, every other node under the plain broadcast names.
void apply_outputs(ExecutionResult& result, const std::optional<std::uint64_t>& branch_id, DataMap outputs) {
  if (branch_id) {
    for (auto& [key, value] : outputs) result.context.insert_or_assign(branch_key(*branch_id, key), std::move(value));
    return;
  }
  // The output map's nodes move into the context as they are; an existing
  // key only takes the new value.
  while (!outputs.empty()) {
    auto moved = result.context.insert(outputs.extract(outputs.begin()));
    if (!moved.inserted) moved.position->second = std::move(moved.node.mapped());
  }
}

// Records one node's step in the run: outputs into the context, key text
// into the dependency key map, status into the report.
void merge_step(ExecutionResult& result, DependencyKeyMap* dep_keys, const Node& node, NodeStepResult step) {
  apply_outputs(result, node.branch_id, std::move(step.outputs));
  if (dep_keys != nullptr) dep_keys->insert_or_assign(node.id, std::move(step.key_text));
  result.node_statuses.insert_or_assign(node.id, std::move(step.status));
}

// What one worker of a parallel level hands back.
struct WorkerRecord {
  std::size_t pos = 0;
  NodeStepResult step;
  CacheRunStats stats;
};

}  // namespace

Dag Dag::create(std::vector<Node> nodes, CacheBackendPtr backend) {
  Dag dag;
  dag.nodes_ = std::move(nodes);
  dag.cache_backend_ = std::move(backend);
  dag.index_.reserve(dag.nodes_.size());
  dag.key_parts_.resize(dag.nodes_.size());
  for (std::size_t i = 0; i < dag.nodes_.size(); ++i) {
    const Node& node = dag.nodes_[i];
    dag.index_.try_emplace(node.id, i);
    if (node.version_set && node.cacheable) {
      dag.key_parts_[i] = node_key_parts(node);
      dag.has_cached_nodes_ = true;
    }
  }

  // Kahn's method over positions. In-degrees count dependency entries; a
  // dependency naming no node is never satisfied, so its dependent (and
  // everything behind it) stays out of the order. Ready nodes are taken in
  // builder order, which keeps independent nodes in the order they were
  // added.
  const std::size_t n = dag.nodes_.size();
  std::vector<std::size_t> in_degree(n, 0);
  std::vector<std::vector<std::size_t>> dependents(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (NodeId dep : dag.nodes_[i].dependencies) {
      ++in_degree[i];
      auto it = dag.index_.find(dep);
      if (it != dag.index_.end()) dependents[it->second].push_back(i);
    }
  }
  std::deque<std::size_t> ready;
  for (std::size_t i = 0; i < n; ++i) {
    if (in_degree[i] == 0) ready.push_back(i);
  }
  std::vector<std::size_t> level_of(n, 0);
  std::vector<bool> placed(n, false);
  std::vector<std::size_t> order;
  order.reserve(n);
  while (!ready.empty()) {
    const std::size_t pos = ready.front();
    ready.pop_front();
    order.push_back(pos);
    placed[pos] = true;
    for (std::size_t dependent : dependents[pos]) {
      if (--in_degree[dependent] == 0) ready.push_back(dependent);
    }
  }

  // A node's level is one more than the highest level among its placed
  // dependencies, 0 without any.
  dag.topological_order_.reserve(order.size());
  for (std::size_t pos : order) {
    const NodeId id = dag.nodes_[pos].id;
    dag.topological_order_.push_back(id);
    std::optional<std::size_t> highest;
    for (NodeId dep : dag.nodes_[pos].dependencies) {
      auto it = dag.index_.find(dep);
      if (it == dag.index_.end() || !placed[it->second]) continue;
      highest = std::max(highest.value_or(0), level_of[it->second]);
    }
    const std::size_t level = highest ? *highest + 1 : 0;
    level_of[pos] = level;
    if (dag.levels_.size() <= level) dag.levels_.resize(level + 1);
    dag.levels_[level].push_back(id);
  }
  return dag;
}

const Node* Dag::find_node(NodeId id) const {
  auto it = index_.find(id);
  return it == index_.end() ? nullptr : &nodes_[it->second];
}

ExecutionResult Dag::execute_detailed_with_options(bool parallel, std::optional<std::size_t> max_threads,
                                                   const ExecutionOptions& options) const {
  return parallel ? run_parallel(max_threads, options) : run_sequential(options);
}

ExecutionResult Dag::execute_detailed_with_backend_options(bool parallel, std::optional<std::size_t> max_threads,
                                                           const ExecutionOptions& options,
                                                           CacheBackendPtr backend) const {
  const Dag rebound = Dag::create(nodes_, std::move(backend));
  return rebound.execute_detailed_with_options(parallel, max_threads, options);
}

std::size_t Dag::position_of(NodeId id) const { return index_.at(id); }

bool Dag::needs_dependency_keys(const ExecutionOptions& options) const {
  // Only transitive keys of cached nodes read upstream key texts.
  return options.enabled && options.depth == CacheDepth::kTransitive && has_cached_nodes_;
}

NodeStepResult Dag::run_node(std::size_t pos, const DataMap& context, const DependencyKeyMap& dep_keys,
                             const ExecutionOptions& options, CacheRunStats& stats) const {
  const NodeKeyParts* parts = key_parts_[pos].identity.empty() ? nullptr : &key_parts_[pos];
  return execute_node_with_cache_backend(cache_backend_, nodes_[pos], context, dep_keys, options, stats, parts);
}

void Dag::run_inline(std::size_t pos, ExecutionResult& result, DependencyKeyMap& dep_keys,
                     const ExecutionOptions& options) const {
  NodeStepResult step = run_node(pos, result.context, dep_keys, options, result.cache_stats);
  merge_step(result, needs_dependency_keys(options) ? &dep_keys : nullptr, nodes_[pos], std::move(step));
}

ExecutionResult Dag::run_sequential(const ExecutionOptions& options) const {
  ExecutionResult result;
  DependencyKeyMap dep_keys;
  dep_keys.reserve(topological_order_.size());
  result.node_statuses.reserve(topological_order_.size());
  for (NodeId id : topological_order_) run_inline(position_of(id), result, dep_keys, options);
  return result;
}

ExecutionResult Dag::run_parallel(std::optional<std::size_t> max_threads, const ExecutionOptions& options) const {
  ExecutionResult result;
  DependencyKeyMap dep_keys;
  for (const auto& level : levels_) {
    if (level.size() == 1) {
      run_inline(position_of(level.front()), result, dep_keys, options);
      continue;
    }

    // Every worker of the level reads the context and key map as they were
    // when the level started, through shared read-only snapshots; none sees
    // another's outputs. Records are appended in completion order under
    // records_mu and merged by this thread after the last chunk.
    const auto context_snapshot = std::make_shared<const DataMap>(result.context);
    const auto keys_snapshot = std::make_shared<const DependencyKeyMap>(dep_keys);
    std::mutex records_mu;
    std::vector<WorkerRecord> records;
    records.reserve(level.size());
    std::exception_ptr failure;

    // Workers act for this thread in cache claims (a re-entrant run's
    // workers must not wait for claims, see cached_step.hpp).
    const bool holds_claim = lineage_holds_claim();

    std::size_t chunk = max_threads ? std::max<std::size_t>(*max_threads, 1) : level.size();
    for (std::size_t begin = 0; begin < level.size(); begin += chunk) {
      const std::size_t end = std::min(level.size(), begin + chunk);
      std::vector<std::thread> workers;
      workers.reserve(end - begin);
      try {
        for (std::size_t i = begin; i < end; ++i) {
          const std::size_t pos = position_of(level[i]);
          workers.emplace_back([&, pos] {
            ClaimLineageScope lineage(holds_claim);
            try {
              WorkerRecord record;
              record.pos = pos;
              record.step = run_node(pos, *context_snapshot, *keys_snapshot, options, record.stats);
              std::lock_guard lock(records_mu);
              records.push_back(std::move(record));
            } catch (...) {
              // Not a C++ exception: the unwinding that ends the thread (an
              // exiting interpreter does this). It must never be absorbed.
              std::exception_ptr error = std::current_exception();
              if (!error) throw;
              std::lock_guard lock(records_mu);
              if (!failure) failure = std::move(error);
            }
          });
        }
      } catch (const std::system_error& e) {
        for (auto& worker : workers) worker.join();
        throw ExecutionError(std::string("could not start a worker thread: ") + e.what());
      }
      for (auto& worker : workers) worker.join();
      if (failure) {
        try {
          std::rethrow_exception(failure);
        } catch (const std::exception& e) {
          throw ExecutionError(std::string("a worker thread ended abnormally: ") + e.what());
        } catch (...) {
          throw ExecutionError("a worker thread ended abnormally");
        }
      }
    }

    std::lock_guard lock(records_mu);
    for (auto& record : records) {
      result.cache_stats.add(record.stats);
      merge_step(result, needs_dependency_keys(options) ? &dep_keys : nullptr, nodes_[record.pos],
                 std::move(record.step));
    }
  }
  return result;
}

}  // namespace quillon
