#include "dag/dag.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <queue>
#include <span>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>

#include "cache/cached_step.hpp"
#include "defaults.hpp"
#include "thread_annotations.hpp"

namespace quillon {

namespace {

// Takes a planned call's outputs straight into a context's slots. The first
// write of each output keeps what the slot held before, so that undo() can
// put the context back as it was when a call fails after some outputs were
// offered. Requires a step marked `direct`.
class DirectSink final : public OutputSink {
 public:
  DirectSink(const CallPlan& plan, const CallPlan::Step& step, ExecutionContext& context,
             std::vector<std::pair<int, GraphData>>& replaced)
      : plan_(plan), step_(step), outputs_(plan.outputs(step)), context_(context), replaced_(replaced) {
    replaced_.clear();
  }

  int index_for(std::string_view impl_name) override { return plan_.output_index(step_, impl_name); }

  void put(int index, GraphData&& value) override {
    const std::uint32_t slot = outputs_[static_cast<std::size_t>(index)].slot;
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
    for (std::size_t index = 0; index < outputs_.size(); ++index) {
      if ((written_ & (std::uint64_t{1} << index)) != 0) context_.take_slot(outputs_[index].slot);
    }
    for (auto& [index, value] : replaced_) context_.set_slot(outputs_[static_cast<std::size_t>(index)].slot, std::move(value));
    replaced_.clear();
    written_ = 0;
  }

 private:
  const CallPlan& plan_;
  const CallPlan::Step& step_;
  std::span<const CallPlan::Name> outputs_;
  ExecutionContext& context_;
  std::uint64_t written_ = 0;  // bit i: output i was written
  std::vector<std::pair<int, GraphData>>& replaced_;
};

// Counts down the workers of a chunk as they end; the starting thread
// waits for the count to reach zero.
class Countdown {
 public:
  explicit Countdown(std::size_t count) : remaining_(count) {}

  void arrive() {
    MutexLock lock(mu_);
    if (--remaining_ == 0) done_.notify_all();
  }
  // Whether every worker has arrived, after waiting at most `timeout`.
  bool wait_for(std::chrono::milliseconds timeout) {
    MutexLock lock(mu_);
    if (remaining_ != 0) done_.wait_for(mu_, timeout);
    return remaining_ == 0;
  }

 private:
  Mutex mu_;
  CondVar done_;
  std::size_t remaining_ GUARDED_BY(mu_);
};

// The worker threads of a chunk, joined however the starting thread leaves
// the chunk: polling for a stop request takes the interpreter lock, and an
// exiting interpreter ends a thread that waits for it by unwinding it. A
// crew left that way first tells the workers that have not yet begun to
// skip their step.
class Crew {
 public:
  explicit Crew(std::atomic<bool>& stopping) noexcept : stopping_(stopping) {}
  ~Crew() {
    if (std::any_of(threads.begin(), threads.end(), [](const std::thread& t) { return t.joinable(); })) {
      stopping_.store(true, std::memory_order_relaxed);
      join_all();
    }
  }
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

  void join_all() {
    for (std::thread& thread : threads) {
      if (thread.joinable()) thread.join();
    }
  }

  std::vector<std::thread> threads;

 private:
  std::atomic<bool>& stopping_;
};

// A worker's arrival, made however the worker's body ends (the unwinding
// that ends a thread at interpreter exit included).
class Arrival {
 public:
  explicit Arrival(Countdown& countdown) noexcept : countdown_(countdown) {}
  ~Arrival() { countdown_.arrive(); }
  Arrival(const Arrival&) = delete;
  Arrival& operator=(const Arrival&) = delete;

 private:
  Countdown& countdown_;
};

}  // namespace

Dag Dag::create(std::vector<Node> nodes, CacheBackendPtr backend) {
  Dag dag;
  dag.nodes_ = std::move(nodes);
  dag.cache_backend_ = std::move(backend);
  dag.index_.reserve(dag.nodes_.size());
  dag.key_parts_.resize(dag.nodes_.size());
  dag.routes_.resize(dag.nodes_.size());
  for (std::size_t i = 0; i < dag.nodes_.size(); ++i) {
    const Node& node = dag.nodes_[i];
    dag.index_.try_emplace(node.id, i);
    dag.routes_[i] = node_route(node);
    if (dag.routes_[i] == nullptr) {
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
  for (std::size_t i = 0; i < n; ++i) {
    if (!placed[i]) dag.unplaced_positions_.push_back(i);
  }
  dag.order_positions_ = std::move(order);
  dag.plan_ = CallPlan(dag.nodes_, dag.order_positions_);
  return dag;
}

const Node* Dag::find_node(NodeId id) const {
  auto it = index_.find(id);
  return it == index_.end() ? nullptr : &nodes_[it->second];
}

std::string RunOptions::namespace_for(const std::optional<std::string>& given,
                                      const std::optional<std::string>& backend_namespace,
                                      const std::optional<std::string>& dag_namespace) {
  if (given) return *given;
  if (backend_namespace) return *backend_namespace;
  if (dag_namespace) return *dag_namespace;
  return kDefaultNamespace;
}

// One run of a Dag: its options, its context and the key texts of the nodes
// done so far. The thread that starts the run owns all of it; workers of a
// parallel level only read the context and the key texts, and hand their
// steps back as records.
class Dag::Run {
 public:
  Run(const Dag& dag, const RunOptions& options)
      : dag_(dag),
        plan_(dag.plan_),
        options_(options.cache),
        backend_(options.backend ? options.backend : dag.cache_backend_),
        run_route_(quillon::run_route(options.cache)),
        // Only transitive keys of cached nodes read upstream key texts.
        want_keys_(options.cache.enabled && options.cache.depth == CacheDepth::kTransitive && dag.has_cached_nodes_),
        collect_runs_(options.collect_node_runs),
        progress_(options.progress),
        result_{ExecutionContext(dag.plan_.layout()), {}, {}, {}, {}},
        poll_(options.control) {
    if (want_keys_) dep_keys_.reserve(dag.order_positions_.size());
    if (options_.collect_node_statuses) result_.node_statuses.reserve(dag.order_positions_.size());
    if (collect_runs_) result_.node_runs.reserve(dag.order_positions_.size());
    if (options.inputs != nullptr) {
      for (const auto& [key, value] : *options.inputs) result_.context.set(key, value);
    }
  }

  ExecutionResult sequential() {
    Scratch scratch(plan_.max_inputs());
    if (!collect_runs_ && progress_ == nullptr) [[likely]] {
      // Nothing to time or count: the loop a chain of trivial nodes feels.
      for (std::size_t pos : dag_.order_positions_) {
        poll_();
        run_inline_plain(pos, scratch);
      }
    } else {
      for (std::size_t pos : dag_.order_positions_) {
        poll_();
        run_inline(pos, scratch);
      }
    }
    return std::move(result_);
  }

  ExecutionResult parallel(std::optional<std::size_t> max_threads);
  ExecutionResult dispatched(CallDispatcher& dispatcher);

 private:
  // Per-thread buffers reused from node to node.
  struct Scratch {
    explicit Scratch(std::size_t max_inputs) : gathered(max_inputs) {}
    std::vector<NamedValue> gathered;                  // room for any node's inputs
    CallRecord call;                                   // a cached node's call
    std::vector<std::pair<int, GraphData>> replaced;   // DirectSink's saved values
  };
  // One node's step, ready to be applied to the run.
  struct StepRecord {
    std::size_t pos = 0;
    CallRecord outputs;  // by output index
    DataMap unplaced;    // context key -> value for stored outputs the plan does not map
    std::string key_text;
    NodeCacheStatus status;
    std::optional<std::string> store_problem;
    bool failed = false;  // whether the node's call failed
    // Kept only when the run collects node runs.
    double seconds = 0.0;
    std::optional<std::string> error;
  };
  using Clock = std::chrono::steady_clock;

  const UncachedRoute* route_of(std::size_t pos) const noexcept {
    return run_route_ != nullptr ? run_route_ : dag_.routes_[pos];
  }
  std::size_t gather(const CallPlan::Step& step, NamedValue* gathered) const {
    const ExecutionContext& context = result_.context;
    return plan_.gather(step, [&](const CallPlan::Name& input) { return context.slot_value(input.slot); }, gathered);
  }

  // Runs the node at `pos` to the end on the calling thread, as the only
  // user of the context, neither timed nor counted.
  void run_inline_plain(std::size_t pos, Scratch& scratch) {
    const UncachedRoute* route = route_of(pos);
    if (route != nullptr && plan_.step(pos).direct) {
      run_direct(pos, *route, scratch);
      return;
    }
    inline_record_.pos = pos;
    auto poll = [this] { poll_(); };
    step(inline_record_, result_.cache_stats, scratch, poll);
    apply(inline_record_);
  }

  // run_inline_plain(), timed when the run collects node runs and counted
  // when it has a progress sink.
  void run_inline(std::size_t pos, Scratch& scratch) {
    const UncachedRoute* route = route_of(pos);
    if (route != nullptr && plan_.step(pos).direct) {
      if (!collect_runs_) [[likely]] {
        run_direct(pos, *route, scratch);
      } else {
        timed_direct(pos, *route, scratch);
      }
      count_done();
      return;
    }
    inline_record_.pos = pos;
    auto poll = [this] { poll_(); };
    if (collect_runs_) {
      timed_step(inline_record_, result_.cache_stats, scratch, poll);
    } else {
      step(inline_record_, result_.cache_stats, scratch, poll);
    }
    apply(inline_record_);
    count_done();
  }

  // run_direct(), with its wall time and its failure's reason recorded.
  void timed_direct(std::size_t pos, const UncachedRoute& route, Scratch& scratch) {
    static_cast<void>(take_call_failure());  // a reason left by an earlier call is not this one's
    const Clock::time_point start = Clock::now();
    const bool failed = !run_direct(pos, route, scratch);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result_.node_runs.insert_or_assign(dag_.nodes_[pos].id,
                                       NodeRun{seconds, failed, failed ? take_call_failure() : std::nullopt});
  }

  // One more node done, told to the progress sink.
  void count_done() {
    if (progress_ == nullptr) return;
    const std::uint64_t done = finished_.fetch_add(1, std::memory_order_relaxed) + 1;
    progress_->update(done, dag_.order_positions_.size());
  }

  // step(), with its wall time and its failure's reason kept in the record.
  void timed_step(StepRecord& record, CacheRunStats& stats, Scratch& scratch, WhileWaiting while_waiting) const {
    static_cast<void>(take_call_failure());
    const Clock::time_point start = Clock::now();
    step(record, stats, scratch, std::move(while_waiting));
    record.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    record.error = record.failed ? take_call_failure() : std::nullopt;
  }

  // The whole step of an uncached node whose plan allows it: the call writes
  // straight into the context, and a failed call's writes are undone. False
  // when the call failed.
  bool run_direct(std::size_t pos, const UncachedRoute& route, Scratch& scratch) {
    const CallPlan::Step& planned = plan_.step(pos);
    const std::size_t count = gather(planned, scratch.gathered.data());
    DirectSink sink(plan_, planned, result_.context, scratch.replaced);
    const bool succeeded = planned.function->call(scratch.gathered.data(), count, sink, planned.site);
    if (!succeeded) sink.undo();
    const NodeId id = dag_.nodes_[pos].id;
    if (!want_keys_ && !options_.collect_node_statuses) {
      report_uncached(route, id, result_.cache_stats, nullptr, nullptr);
      return succeeded;
    }
    std::string key_text;
    NodeCacheStatus status;
    report_uncached(route, id, result_.cache_stats, want_keys_ ? &key_text : nullptr,
                    options_.collect_node_statuses ? &status : nullptr);
    if (want_keys_) dep_keys_.insert_or_assign(id, std::move(key_text));
    if (options_.collect_node_statuses) result_.node_statuses.insert_or_assign(id, std::move(status));
    return succeeded;
  }

  // The step of the node at record.pos into the record, counted in
  // `stats`; reads the context and the key texts only. `while_waiting` runs
  // while the step waits for another thread's claim.
  void step(StepRecord& record, CacheRunStats& stats, Scratch& scratch, WhileWaiting while_waiting) const;
  // A cached step's result into the record of its node (record.pos).
  void take_cached(StepRecord& record, NodeStepResult& cached) const;
  // Places a step's outputs, key text and status into the run.
  void apply(StepRecord& record);
  // Waits until the workers counted by `finished` have ended, polling for a
  // stop request meanwhile. A request that arrives is kept in `interrupted`
  // and stops every worker that has not yet begun its step.
  void wait_for_workers(Countdown& finished, std::exception_ptr& interrupted);

  const Dag& dag_;
  const CallPlan& plan_;
  const ExecutionOptions& options_;
  const CacheBackendPtr& backend_;
  const UncachedRoute* run_route_;  // when the options alone rule out the backend
  const bool want_keys_;
  const bool collect_runs_;
  ProgressSink* const progress_;  // used by the starting thread only
  // Nodes done; counted only with a progress sink, by whichever thread ran
  // the node.
  std::atomic<std::uint64_t> finished_{0};
  ExecutionResult result_;
  DependencyKeyMap dep_keys_;
  StepRecord inline_record_;  // reused by the steps run on this thread
  InterruptPoll poll_;        // used by the starting thread only
  // Set once the run must stop: workers that see it skip their step.
  std::atomic<bool> stopping_{false};
};

void Dag::Run::step(StepRecord& record, CacheRunStats& stats, Scratch& scratch, WhileWaiting while_waiting) const {
  const std::size_t pos = record.pos;
  const CallPlan::Step& planned = plan_.step(pos);
  const Node& node = dag_.nodes_[pos];
  NamedValue* gathered = scratch.gathered.data();
  const std::size_t count = gather(planned, gathered);

  const UncachedRoute* route = route_of(pos);
  NodeStepResult cached;
  record.failed = false;
  if (route == nullptr) {
    DataMap inputs;
    inputs.reserve(count);
    for (std::size_t i = 0; i < count; ++i) inputs.emplace(std::string(gathered[i].name), *gathered[i].value);
    auto compute = [&](DataMap& outputs) {
      if (!call_into(plan_, planned, gathered, count, scratch.call)) {
        record.failed = true;
        return false;
      }
      for (auto& [index, value] : scratch.call) outputs.insert_or_assign(plan_.broadcast(planned, index), std::move(value));
      return true;
    };
    if (!run_cached_step(*backend_, node, dag_.key_parts_[pos], inputs, dep_keys_, options_, stats, compute,
                         while_waiting, cached)) {
      route = &kUnsupportedInputRoute;
    }
  }
  if (route != nullptr) {
    report_uncached(*route, node.id, stats, want_keys_ ? &record.key_text : nullptr, &record.status);
    record.failed = !call_into(plan_, planned, gathered, count, record.outputs);
    return;
  }

  take_cached(record, cached);
}

void Dag::Run::take_cached(StepRecord& record, NodeStepResult& cached) const {
  const CallPlan::Step& planned = plan_.step(record.pos);
  const Node& node = dag_.nodes_[record.pos];
  record.outputs.clear();
  for (auto& [broadcast, value] : cached.outputs) {
    const int index = plan_.output_for_broadcast(planned, broadcast);
    if (index >= 0) {
      record.outputs.push(static_cast<std::uint32_t>(index), std::move(value));
    } else {
      // Stored outputs this node's table does not name (an entry written by
      // another node with the same key) still reach the context.
      record.unplaced.insert_or_assign(node.branch_id ? branch_key(*node.branch_id, broadcast) : broadcast,
                                       std::move(value));
    }
  }
  record.key_text = std::move(cached.key_text);
  record.status = std::move(cached.status);
  record.store_problem = std::move(cached.store_problem);
}

void Dag::Run::apply(StepRecord& record) {
  const std::span<const CallPlan::Name> outputs = plan_.outputs(plan_.step(record.pos));
  for (auto& [index, value] : record.outputs) result_.context.set_slot(outputs[index].slot, std::move(value));
  record.outputs.clear();
  if (!record.unplaced.empty()) {
    for (auto& [key, value] : record.unplaced) result_.context.set(key, std::move(value));
    record.unplaced.clear();
  }
  const NodeId id = dag_.nodes_[record.pos].id;
  if (record.store_problem) {
    result_.unstored.push_back({id, std::move(*record.store_problem)});
    record.store_problem.reset();
  }
  if (want_keys_) dep_keys_.insert_or_assign(id, std::move(record.key_text));
  if (options_.collect_node_statuses) result_.node_statuses.insert_or_assign(id, std::move(record.status));
  if (collect_runs_) result_.node_runs.insert_or_assign(id, NodeRun{record.seconds, record.failed, std::move(record.error)});
  record.error.reset();
}

void Dag::Run::wait_for_workers(Countdown& finished, std::exception_ptr& interrupted) {
  while (!finished.wait_for(InterruptPoll::kInterval)) {
    if (interrupted) continue;
    try {
      poll_();
      if (progress_ != nullptr) progress_->update(finished_.load(std::memory_order_relaxed), dag_.order_positions_.size());
    } catch (const RunInterrupted&) {
      interrupted = std::current_exception();
      stopping_.store(true, std::memory_order_relaxed);
    }
  }
}

ExecutionResult Dag::Run::parallel(std::optional<std::size_t> max_threads) {
  Scratch inline_scratch(plan_.max_inputs());
  for (const auto& level : dag_.level_positions_) {
    poll_();
    if (level.size() == 1) {
      run_inline(level.front(), inline_scratch);
      continue;
    }

    // Every worker of the level reads the context and key texts as they
    // were when the level started: nothing writes either until the last
    // worker of the level is joined, so the workers share them read-only and
    // none sees another's outputs. Each worker fills its own record, and the
    // records are applied in the level's order, the order a sequential run
    // uses, so that a later node's write wins whatever finished first.
    std::vector<StepRecord> records(level.size());
    std::vector<CacheRunStats> stats(level.size());
    std::vector<std::exception_ptr> failures(level.size());
    // Workers act for this thread in cache claims (a re-entrant run's
    // workers must not wait for claims, see cached_step.hpp).
    const bool holds_claim = lineage_holds_claim();

    const std::size_t chunk = max_threads ? std::max<std::size_t>(*max_threads, 1) : level.size();
    for (std::size_t begin = 0; begin < level.size(); begin += chunk) {
      if (begin != 0) poll_();
      const std::size_t end = std::min(level.size(), begin + chunk);
      Countdown finished(end - begin);
      Crew workers(stopping_);
      workers.threads.reserve(end - begin);
      try {
        for (std::size_t i = begin; i < end; ++i) {
          records[i].pos = level[i];
          workers.threads.emplace_back([this, holds_claim, &finished, &record = records[i], &counted = stats[i],
                                &failure = failures[i]] {
            Arrival arrival(finished);
            ClaimLineageScope lineage(holds_claim);
            try {
              // Once the run is stopping, no further node call starts.
              if (stopping_.load(std::memory_order_relaxed)) return;
              Scratch scratch(plan_.max_inputs());
              // A worker waiting for another run's claim gives up once this
              // run is stopping; the starting thread keeps the reason.
              auto give_up_when_stopping = [this] {
                if (stopping_.load(std::memory_order_relaxed)) throw RunInterrupted(PyObjectRef());
              };
              if (collect_runs_) {
                timed_step(record, counted, scratch, give_up_when_stopping);
              } else {
                step(record, counted, scratch, give_up_when_stopping);
              }
              if (progress_ != nullptr) finished_.fetch_add(1, std::memory_order_relaxed);
            } catch (const RunInterrupted&) {
              failure = std::current_exception();
              stopping_.store(true, std::memory_order_relaxed);
            } catch (...) {
              // Not a C++ exception: the unwinding that ends the thread (an
              // exiting interpreter does this). It must never be absorbed.
              failure = std::current_exception();
              if (!failure) throw;
            }
          });
        }
      } catch (const std::system_error& e) {
        stopping_.store(true, std::memory_order_relaxed);
        workers.join_all();
        throw ExecutionError(std::string("could not start a worker thread: ") + e.what());
      }
      // Calls already running finish before the run ends, interrupted or not.
      std::exception_ptr interrupted;
      wait_for_workers(finished, interrupted);
      workers.join_all();
      for (std::size_t i = begin; i < end && !interrupted; ++i) {
        if (!failures[i]) continue;
        try {
          std::rethrow_exception(failures[i]);
        } catch (const RunInterrupted&) {
          interrupted = failures[i];
        } catch (const std::exception& e) {
          throw ExecutionError(std::string("a worker thread ended abnormally: ") + e.what());
        } catch (...) {
          throw ExecutionError("a worker thread ended abnormally");
        }
      }
      if (interrupted) std::rethrow_exception(interrupted);
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
      result_.cache_stats.add(stats[i]);
      apply(records[i]);
    }
    if (progress_ != nullptr) progress_->update(finished_.load(std::memory_order_relaxed), dag_.order_positions_.size());
  }
  return std::move(result_);
}

ExecutionResult Dag::run(const RunOptions& options) const {
  // What the run stored becomes visible and durable when it ends, also when
  // it ends by an exception.
  struct FlushAtEnd {
    CacheBackend* backend;
    ~FlushAtEnd() {
      if (backend == nullptr) return;
      try {
        backend->flush();
      } catch (const std::exception&) {
        // A store that cannot be flushed is lost, never wrong; the backend
        // reports it.
      }
    }
  } flush_at_end{options.cache.enabled ? (options.backend ? options.backend.get() : cache_backend_.get()) : nullptr};
  Run run(*this, options);
  ExecutionResult result = options.dispatcher != nullptr ? run.dispatched(*options.dispatcher)
                           : options.parallel             ? run.parallel(options.max_threads)
                                                          : run.sequential();
  if (options.progress != nullptr) options.progress->update(order_positions_.size(), order_positions_.size());
  return result;
}

// The run on a dispatcher's workers. Each node starts once every node before
// it in the order that it depends on, or that writes a key it reads, has
// ended; it then reads what a sequential run would give it (for each key,
// the value of the last earlier writer that produced one, else the run's
// input), and the context is assembled in the order at the end, so that
// everything the run returns equals a sequential run's. This thread keys,
// looks up, claims and stores; only the calls travel. Stored outputs a
// node's table does not name (unplaced) reach the final context but are not
// offered to later nodes.
ExecutionResult Dag::Run::dispatched(CallDispatcher& dispatcher) {
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  const std::vector<std::size_t>& order = dag_.order_positions_;
  const auto n = static_cast<std::uint32_t>(order.size());
  std::vector<std::uint32_t> order_index(dag_.nodes_.size(), kNone);
  for (std::uint32_t i = 0; i < n; ++i) order_index[order[i]] = i;

  // The nodes writing each key, in the order.
  std::vector<std::vector<std::uint32_t>> writers(plan_.layout()->size());
  for (std::uint32_t i = 0; i < n; ++i) {
    for (const CallPlan::Name& output : plan_.outputs(plan_.step(order[i]))) {
      std::vector<std::uint32_t>& slot_writers = writers[output.slot];
      if (slot_writers.empty() || slot_writers.back() != i) slot_writers.push_back(i);
    }
  }
  // What each node waits for, counted, and who waits for each.
  std::vector<std::uint32_t> waiting(n, 0);
  std::vector<std::vector<std::uint32_t>> dependents(n);
  std::vector<std::uint32_t> marked(n, kNone);
  auto wait_for = [&](std::uint32_t i, std::uint32_t j) {
    if (marked[j] == i) return;
    marked[j] = i;
    dependents[j].push_back(i);
    ++waiting[i];
  };
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::size_t pos = order[i];
    for (NodeId dependency : dag_.nodes_[pos].dependencies) {
      auto it = dag_.index_.find(dependency);
      if (it == dag_.index_.end()) continue;
      const std::uint32_t j = order_index[it->second];
      if (j < i) wait_for(i, j);
    }
    for (const CallPlan::Name& input : plan_.inputs(plan_.step(pos))) {
      for (std::uint32_t j : writers[input.slot]) {
        if (j >= i) break;
        wait_for(i, j);
      }
    }
  }

  std::vector<StepRecord> records(n);
  for (std::uint32_t i = 0; i < n; ++i) records[i].pos = order[i];
  std::vector<std::unique_ptr<DeferredCachedStep>> deferred(n);
  std::vector<Clock::time_point> started(collect_runs_ ? n : 0);
  std::priority_queue<std::uint32_t, std::vector<std::uint32_t>, std::greater<>> ready;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (waiting[i] == 0) ready.push(i);
  }
  std::vector<std::uint32_t> parked;             // waiting for a claim to end
  std::unordered_set<std::string> claimed_here;  // keys this run claimed, calls in flight
  std::size_t in_flight = 0;
  std::uint32_t ended = 0;
  Scratch scratch(plan_.max_inputs());
  CacheRunStats& stats = result_.cache_stats;

  // What a sequential run holds in `slot` when node i starts.
  auto value_before = [&](std::uint32_t i, std::uint32_t slot) -> const GraphData* {
    const std::vector<std::uint32_t>& slot_writers = writers[slot];
    auto it = std::lower_bound(slot_writers.begin(), slot_writers.end(), i);
    while (it != slot_writers.begin()) {
      const StepRecord& record = records[*--it];
      const std::span<const CallPlan::Name> outputs = plan_.outputs(plan_.step(record.pos));
      const GraphData* found = nullptr;
      for (const auto& [index, value] : record.outputs) {
        if (outputs[index].slot == slot) found = &value;  // a later offer replaces an earlier one
      }
      if (found != nullptr) return found;
    }
    return result_.context.slot_value(slot);
  };
  auto end_node = [&](std::uint32_t i) {
    StepRecord& record = records[i];
    if (collect_runs_) record.seconds = std::chrono::duration<double>(Clock::now() - started[i]).count();
    if (want_keys_) dep_keys_.insert_or_assign(dag_.nodes_[record.pos].id, record.key_text);
    ++ended;
    count_done();
    for (std::uint32_t dependent : dependents[i]) {
      if (--waiting[dependent] == 0) ready.push(dependent);
    }
  };
  auto complete = [&](std::uint32_t i, bool succeeded) {
    StepRecord& record = records[i];
    record.failed = !succeeded;
    if (!succeeded) record.outputs.clear();
    if (collect_runs_) record.error = succeeded ? std::nullopt : take_call_failure();
    if (DeferredCachedStep* step = deferred[i].get()) {
      const CallPlan::Step& planned = plan_.step(record.pos);
      DataMap outputs;
      for (auto& [index, value] : record.outputs) outputs.insert_or_assign(plan_.broadcast(planned, index), std::move(value));
      if (step->claimed()) claimed_here.erase(step->key());
      NodeStepResult cached;
      step->finish(succeeded, std::move(outputs), stats, cached);
      deferred[i].reset();
      take_cached(records[i], cached);
    }
    end_node(i);
  };
  // Hands node i's call to the dispatcher, or makes it here when the
  // dispatcher cannot send its function.
  auto call = [&](std::uint32_t i) {
    const CallPlan::Step& planned = plan_.step(records[i].pos);
    NamedValue* gathered = scratch.gathered.data();
    const std::size_t count =
        plan_.gather(planned, [&](const CallPlan::Name& input) { return value_before(i, input.slot); }, gathered);
    if (collect_runs_) static_cast<void>(take_call_failure());
    const std::span<const NamedValue> inputs(gathered, count);
    if (dispatcher.submit(i, *planned.function, planned.site, std::span<const std::span<const NamedValue>>(&inputs, 1))) {
      ++in_flight;
      return;
    }
    complete(i, call_into(plan_, planned, gathered, count, records[i].outputs));
  };
  // Goes on with a cached step after it began (or began again).
  auto proceed = [&](std::uint32_t i, DeferredCachedStep::Start start, NodeStepResult& cached) {
    DeferredCachedStep& step = *deferred[i];
    switch (start) {
      case DeferredCachedStep::Start::kHit:
        deferred[i].reset();
        records[i].failed = false;
        take_cached(records[i], cached);
        end_node(i);
        return;
      case DeferredCachedStep::Start::kHeldHere:
        if (claimed_here.count(step.key()) != 0) {
          parked.push_back(i);
          return;
        }
        step.compute_unclaimed(stats);
        call(i);
        return;
      case DeferredCachedStep::Start::kWait:
        parked.push_back(i);
        return;
      case DeferredCachedStep::Start::kCompute:
        if (step.claimed()) claimed_here.insert(step.key());
        call(i);
        return;
      case DeferredCachedStep::Start::kUnsupported:
        break;
    }
    deferred[i].reset();
    report_uncached(kUnsupportedInputRoute, dag_.nodes_[records[i].pos].id, stats,
                    want_keys_ ? &records[i].key_text : nullptr, &records[i].status);
    call(i);
  };
  auto start = [&](std::uint32_t i) {
    StepRecord& record = records[i];
    const std::size_t pos = record.pos;
    const Node& node = dag_.nodes_[pos];
    if (collect_runs_) started[i] = Clock::now();
    const UncachedRoute* route = route_of(pos);
    if (route != nullptr) {
      report_uncached(*route, node.id, stats, want_keys_ ? &record.key_text : nullptr, &record.status);
      call(i);
      return;
    }
    NamedValue* gathered = scratch.gathered.data();
    const std::size_t count =
        plan_.gather(plan_.step(pos), [&](const CallPlan::Name& input) { return value_before(i, input.slot); }, gathered);
    DataMap inputs;
    inputs.reserve(count);
    for (std::size_t k = 0; k < count; ++k) inputs.emplace(std::string(gathered[k].name), *gathered[k].value);
    deferred[i] = std::make_unique<DeferredCachedStep>(*backend_, options_);
    NodeStepResult cached;
    const DeferredCachedStep::Start begun = deferred[i]->begin(node, dag_.key_parts_[pos], inputs, dep_keys_, stats, cached);
    proceed(i, begun, cached);
  };
  // Begins again the parked steps whose claim has ended.
  auto retry_parked = [&] {
    std::vector<std::uint32_t> waiting_steps;
    waiting_steps.swap(parked);
    for (std::uint32_t i : waiting_steps) {
      DeferredCachedStep& step = *deferred[i];
      if (claimed_here.count(step.key()) != 0 || !step.claim_ended()) {
        parked.push_back(i);
        continue;
      }
      NodeStepResult cached;
      const DeferredCachedStep::Start begun = step.begin_again(stats, cached);
      proceed(i, begun, cached);
    }
  };

  std::vector<CallDispatcher::Ticket> tickets;
  try {
    while (ended < n) {
      poll_();
      while (!ready.empty()) {
        const std::uint32_t i = ready.top();
        ready.pop();
        start(i);
      }
      if (!parked.empty()) retry_parked();
      if (ended == n) break;
      if (!ready.empty()) continue;
      if (in_flight == 0) {
        // Only claims of other runs hold this one up.
        if (parked.empty()) throw ExecutionError("the run on the executor stalled with nodes left to run");
        std::this_thread::sleep_for(kWaitSlice);
        continue;
      }
      tickets.clear();
      dispatcher.wait(parked.empty() ? InterruptPoll::kInterval : kWaitSlice, tickets);
      for (CallDispatcher::Ticket ticket : tickets) {
        const auto i = static_cast<std::uint32_t>(ticket);
        --in_flight;
        StepRecord& record = records[i];
        const CallPlan::Step& planned = plan_.step(record.pos);
        record.outputs.clear();
        RecordSink sink(plan_, planned, record.outputs);
        const bool succeeded = dispatcher.take(ticket, 0, sink, planned.site);
        dispatcher.release(ticket);
        complete(i, succeeded);
      }
    }
  } catch (...) {
    dispatcher.abandon();
    throw;
  }
  for (StepRecord& record : records) apply(record);
  return std::move(result_);
}

}  // namespace quillon
