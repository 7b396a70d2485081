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

// The outputs a node's table mentions, found by impl name; the derived
// sinks say where a wanted value goes.
class Dag::PlannedSink : public OutputSink {
 public:
  int index_for(std::string_view impl_name) final { return dag_.output_index(outputs_, count_, impl_name); }

 protected:
  PlannedSink(const Dag& dag, const StepPlan& plan)
      : dag_(dag),
        outputs_(dag.planned_outputs_.data() + plan.outputs_begin),
        count_(plan.outputs_end - plan.outputs_begin) {}
  ~PlannedSink() = default;

  const Dag& dag_;
  const PlannedName* outputs_;
  std::size_t count_;
};

// Takes a node function's outputs into a step record, by slot.
class Dag::SlotSink final : public PlannedSink {
 public:
  SlotSink(const Dag& dag, const StepPlan& plan, StepRecord& record) : PlannedSink(dag, plan), record_(record) {}

  void put(int index, GraphData&& value) override { record_.push(outputs_[index].slot, std::move(value)); }

 private:
  StepRecord& record_;
};

// Takes a node function's outputs straight into the context's slots. The
// first write of each output keeps what the slot held before, so that undo()
// can put the context back as it was when a call fails after some outputs
// were offered. Requires a plan marked `direct`.
class Dag::DirectSink final : public PlannedSink {
 public:
  DirectSink(const Dag& dag, const StepPlan& plan, ExecutionContext& context, Scratch& scratch)
      : PlannedSink(dag, plan), context_(context), replaced_(scratch.replaced) {
    replaced_.clear();
  }

  void put(int index, GraphData&& value) override {
    const std::uint32_t slot = outputs_[index].slot;
    const std::uint64_t bit = std::uint64_t{1} << index;
    if ((written_ & bit) == 0) {
      if (context_.slot_value(slot) != nullptr) {
        // Room first: running out of memory here must leave the slot as it was.
        replaced_.emplace_back(index, GraphData());
        replaced_.back().second = context_.take_slot(slot);
      }
      written_ |= bit;
    }
    context_.set_slot(slot, std::move(value));
  }

  void undo() {
    for (std::size_t index = 0; index < count_; ++index) {
      if ((written_ & (std::uint64_t{1} << index)) != 0) context_.take_slot(outputs_[index].slot);
    }
    for (auto& [index, value] : replaced_) context_.set_slot(outputs_[index].slot, std::move(value));
    replaced_.clear();
    written_ = 0;
  }

 private:
  ExecutionContext& context_;
  std::uint64_t written_ = 0;  // bit i: output i was written
  std::vector<std::pair<int, GraphData>>& replaced_;
};

int Dag::output_index(const PlannedName* outputs, std::size_t count, std::string_view impl_name) const noexcept {
  // Sorted by impl name, which is unique within a node. Most nodes have a
  // handful of outputs: those are scanned.
  if (count <= 8) {
    for (std::size_t i = 0; i < count; ++i) {
      if (same_name(name_of(outputs[i]), impl_name)) return static_cast<int>(i);
    }
    return -1;
  }
  const PlannedName* end = outputs + count;
  auto before = [&](const PlannedName& output, std::string_view name) { return name_of(output) < name; };
  const PlannedName* it = std::lower_bound(outputs, end, impl_name, before);
  if (it == end || name_of(*it) != impl_name) return -1;
  return static_cast<int>(it - outputs);
}

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
    if (dag.level_positions_.size() <= level) dag.level_positions_.resize(level + 1);
    dag.level_positions_[level].push_back(pos);
  }
  dag.order_positions_ = std::move(order);
  dag.plan_slots();
  return dag;
}

void Dag::plan_slots() {
  // Keys are numbered as the order first writes them, then every key only
  // read, so that a run's context lists its values in the order they arose.
  auto layout = std::make_shared<ContextLayout>();
  plan_.resize(nodes_.size());
  std::vector<std::vector<std::pair<std::string, std::uint32_t>>> outputs(nodes_.size());
  auto number_outputs = [&](std::size_t pos) {
    const Node& node = nodes_[pos];
    for (const auto& [impl, broadcast] : node.outputs) {
      const std::string key = node.branch_id ? branch_key(*node.branch_id, broadcast) : broadcast;
      outputs[pos].emplace_back(impl, layout->intern(key));
    }
  };
  std::vector<bool> numbered(nodes_.size(), false);
  for (std::size_t pos : order_positions_) {
    number_outputs(pos);
    numbered[pos] = true;
  }
  for (std::size_t pos = 0; pos < nodes_.size(); ++pos) {
    if (!numbered[pos]) number_outputs(pos);
  }

  auto add_name = [&](const std::string& name, std::uint32_t slot) {
    const PlannedName planned{static_cast<std::uint32_t>(names_.size()), static_cast<std::uint32_t>(name.size()), slot};
    names_ += name;
    return planned;
  };
  for (std::size_t pos = 0; pos < nodes_.size(); ++pos) {
    const Node& node = nodes_[pos];
    StepPlan& plan = plan_[pos];
    plan.function = node.function.get();
    plan.route = node_route(node);
    // The same entries, in the same order, as gather_inputs reads them.
    plan.inputs_begin = static_cast<std::uint32_t>(planned_inputs_.size());
    for (const auto& [broadcast, impl] : node.inputs) {
      const auto key = context_key_for_input(broadcast);
      if (!key) continue;
      for (std::size_t i = plan.inputs_begin; i < planned_inputs_.size(); ++i) {
        plan.repeated_impl = plan.repeated_impl || name_of(planned_inputs_[i]) == impl;
      }
      planned_inputs_.push_back(add_name(impl, layout->intern(*key)));
    }
    plan.inputs_end = static_cast<std::uint32_t>(planned_inputs_.size());
    max_inputs_ = std::max<std::size_t>(max_inputs_, plan.inputs_end - plan.inputs_begin);

    auto& own = outputs[pos];
    std::sort(own.begin(), own.end());
    plan.outputs_begin = static_cast<std::uint32_t>(planned_outputs_.size());
    for (const auto& [impl, slot] : own) {
      output_broadcasts_.push_back(node.outputs.at(impl));
      planned_outputs_.push_back(add_name(impl, slot));
    }
    plan.outputs_end = static_cast<std::uint32_t>(planned_outputs_.size());

    std::vector<std::uint32_t> written;
    for (std::uint32_t i = plan.outputs_begin; i < plan.outputs_end; ++i) written.push_back(planned_outputs_[i].slot);
    std::sort(written.begin(), written.end());
    const bool distinct = std::adjacent_find(written.begin(), written.end()) == written.end();
    const bool reads_written =
        std::any_of(planned_inputs_.begin() + plan.inputs_begin, planned_inputs_.begin() + plan.inputs_end,
                    [&](const PlannedName& input) { return std::binary_search(written.begin(), written.end(), input.slot); });
    plan.direct = written.size() <= 64 && distinct && !reads_written;
  }
  layout_ = std::move(layout);
}

const Node* Dag::find_node(NodeId id) const {
  auto it = index_.find(id);
  return it == index_.end() ? nullptr : &nodes_[it->second];
}

ExecutionResult Dag::execute_detailed_with_options(bool parallel, std::optional<std::size_t> max_threads,
                                                   const ExecutionOptions& options) const {
  return parallel ? run_parallel(max_threads, options, cache_backend_) : run_sequential(options, cache_backend_);
}

ExecutionResult Dag::execute_detailed_with_backend_options(bool parallel, std::optional<std::size_t> max_threads,
                                                           const ExecutionOptions& options,
                                                           CacheBackendPtr backend) const {
  return parallel ? run_parallel(max_threads, options, backend) : run_sequential(options, backend);
}

bool Dag::needs_dependency_keys(const ExecutionOptions& options) const {
  // Only transitive keys of cached nodes read upstream key texts.
  return options.enabled && options.depth == CacheDepth::kTransitive && has_cached_nodes_;
}

std::size_t Dag::gather(const StepPlan& plan, const ExecutionContext& context, NamedValue* gathered) const {
  // Inputs straight from the slots, in planned order.
  std::size_t count = 0;
  if (!plan.repeated_impl) {
    for (std::uint32_t i = plan.inputs_begin; i < plan.inputs_end; ++i) {
      const PlannedName& input = planned_inputs_[i];
      if (const GraphData* value = context.slot_value(input.slot)) gathered[count++] = {name_of(input), value};
    }
    return count;
  }
  // When two inputs feed one impl name the first one present stays, as in
  // gather_inputs.
  for (std::uint32_t i = plan.inputs_begin; i < plan.inputs_end; ++i) {
    const PlannedName& input = planned_inputs_[i];
    const GraphData* value = context.slot_value(input.slot);
    if (value == nullptr) continue;
    const std::string_view impl = name_of(input);
    if (std::any_of(gathered, gathered + count, [&](const NamedValue& g) { return g.name == impl; })) continue;
    gathered[count++] = {impl, value};
  }
  return count;
}

void Dag::run_direct(std::size_t pos, const UncachedRoute& route, ExecutionResult& result, DependencyKeyMap* dep_keys,
                     const ExecutionOptions& options, Scratch& scratch) const {
  const StepPlan& plan = plan_[pos];
  NamedValue* gathered = scratch.gathered.data();
  const std::size_t count = gather(plan, result.context, gathered);
  result.cache_stats.record_miss(route.reason);
  DirectSink sink(*this, plan, result.context, scratch);
  if (!plan.function->call(gathered, count, sink)) sink.undo();
  if (dep_keys != nullptr) dep_keys->insert_or_assign(nodes_[pos].id, status_key_text(route.key_prefix, nodes_[pos].id));
  if (options.collect_node_statuses) {
    NodeCacheStatus status;
    status.reason = route.reason;
    result.node_statuses.insert_or_assign(nodes_[pos].id, std::move(status));
  }
}

inline void Dag::run_inline(std::size_t pos, ExecutionResult& result, DependencyKeyMap& dep_keys,
                     const ExecutionOptions& options, bool want_keys, Scratch& scratch) const {
  const UncachedRoute* route = scratch.run_route != nullptr ? scratch.run_route : plan_[pos].route;
  if (route != nullptr && plan_[pos].direct) {
    run_direct(pos, *route, result, want_keys ? &dep_keys : nullptr, options, scratch);
    return;
  }
  run_step(pos, result.context, dep_keys, options, want_keys, result.cache_stats, scratch);
  apply_step(pos, scratch.record, result, want_keys ? &dep_keys : nullptr, options);
}

void Dag::run_step(std::size_t pos, const ExecutionContext& context, const DependencyKeyMap& dep_keys,
                   const ExecutionOptions& options, bool want_key_text, CacheRunStats& stats,
                   Scratch& scratch) const {
  const StepPlan& plan = plan_[pos];
  StepRecord& record = scratch.record;
  record.count = 0;

  NamedValue* gathered = scratch.gathered.data();
  const std::size_t gathered_count = gather(plan, context, gathered);

  const UncachedRoute* route = scratch.run_route != nullptr ? scratch.run_route : plan.route;
  if (route != nullptr) {
    // The node runs without the backend: its outputs go straight to slots.
    stats.record_miss(route->reason);
    SlotSink sink(*this, plan, record);
    if (!plan.function->call(gathered, gathered_count, sink)) record.count = 0;
    record.status.cache_key.reset();
    record.status.hit = false;
    record.status.stored = false;
    record.status.reason = route->reason;
    if (want_key_text) record.key_text = status_key_text(route->key_prefix, nodes_[pos].id);
    return;
  }

  const Node& node = nodes_[pos];
  DataMap inputs;
  inputs.reserve(gathered_count);
  for (std::size_t i = 0; i < gathered_count; ++i) inputs.emplace(std::string(gathered[i].name), *gathered[i].value);
  const NodeKeyParts* parts = key_parts_[pos].identity.empty() ? nullptr : &key_parts_[pos];
  NodeStepResult step = execute_node_with_cache_backend(scratch.backend, node, inputs, dep_keys, options, stats, parts);
  for (auto& [broadcast, value] : step.outputs) {
    std::uint32_t i = plan.outputs_begin;
    while (i < plan.outputs_end && output_broadcasts_[i] != broadcast) ++i;
    if (i < plan.outputs_end) {
      record.push(planned_outputs_[i].slot, std::move(value));
    } else {
      // Stored outputs this node's table does not name (an entry written
      // by another node with the same key) still reach the context.
      record.unplaced.insert_or_assign(node.branch_id ? branch_key(*node.branch_id, broadcast) : broadcast,
                                       std::move(value));
    }
  }
  record.key_text = std::move(step.key_text);
  record.status = std::move(step.status);
}

void Dag::apply_step(std::size_t pos, StepRecord& record, ExecutionResult& result, DependencyKeyMap* dep_keys,
                     const ExecutionOptions& options) const {
  for (std::size_t i = 0; i < record.count; ++i) {
    auto& [slot, value] = record.values[i];
    result.context.set_slot(slot, std::move(value));
  }
  record.count = 0;
  if (!record.unplaced.empty()) {
    for (auto& [key, value] : record.unplaced) result.context.set(key, std::move(value));
    record.unplaced.clear();
  }
  if (dep_keys != nullptr) dep_keys->insert_or_assign(nodes_[pos].id, std::move(record.key_text));
  if (options.collect_node_statuses) result.node_statuses.insert_or_assign(nodes_[pos].id, std::move(record.status));
}

ExecutionResult Dag::run_sequential(const ExecutionOptions& options, const CacheBackendPtr& backend) const {
  ExecutionResult result{ExecutionContext(layout_), {}, {}};
  const bool want_keys = needs_dependency_keys(options);
  DependencyKeyMap dep_keys;
  if (want_keys) dep_keys.reserve(order_positions_.size());
  if (options.collect_node_statuses) result.node_statuses.reserve(order_positions_.size());
  Scratch scratch = scratch_for(options, backend);
  for (std::size_t pos : order_positions_) run_inline(pos, result, dep_keys, options, want_keys, scratch);
  return result;
}

ExecutionResult Dag::run_parallel(std::optional<std::size_t> max_threads, const ExecutionOptions& options,
                                  const CacheBackendPtr& backend) const {
  ExecutionResult result{ExecutionContext(layout_), {}, {}};
  const bool want_keys = needs_dependency_keys(options);
  DependencyKeyMap dep_keys;
  Scratch inline_scratch = scratch_for(options, backend);
  for (const auto& level : level_positions_) {
    if (level.size() == 1) {
      run_inline(level.front(), result, dep_keys, options, want_keys, inline_scratch);
      continue;
    }

    // Every worker of the level reads the context and key map as they were
    // when the level started: nothing writes either until the last worker
    // of the level is joined, so the workers share them read-only. None sees
    // another's outputs. Records are appended in completion order under
    // records_mu and applied by this thread after the last chunk.
    struct WorkerRecord {
      std::size_t pos = 0;
      StepRecord step;
      CacheRunStats stats;
    };
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
          const std::size_t pos = level[i];
          workers.emplace_back([&, pos] {
            ClaimLineageScope lineage(holds_claim);
            try {
              WorkerRecord record;
              record.pos = pos;
              Scratch scratch = scratch_for(options, backend);
              run_step(pos, result.context, dep_keys, options, want_keys, record.stats, scratch);
              record.step = std::move(scratch.record);
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
      apply_step(record.pos, record.step, result, want_keys ? &dep_keys : nullptr, options);
    }
  }
  return result;
}

}  // namespace quillon
