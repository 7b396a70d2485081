#include "uncertainty/predict.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <new>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "distribution/dist_transfer.hpp"
#include "qualified_name.hpp"

namespace quillon {

namespace {

constexpr std::string_view kVecLenPrefix = "__veclen__";

// Particles between two interrupt polls: few enough that a block of cheap
// calls passes well within the poll interval.
constexpr std::size_t kParticlesPerPoll = 64;

// 49881 as "49,881".
std::string with_separators(std::size_t count) {
  std::string digits = std::to_string(count);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

std::string veclen_key(std::string_view name) {
  std::string key(kVecLenPrefix);
  key += name;
  return key;
}

std::string element_key(std::string_view name, std::size_t index) {
  std::string key(name);
  key += '[';
  key += std::to_string(index);
  key += ']';
  return key;
}

bool is_deterministic(const Distribution& dist) { return dist.kind() == DistributionKind::kDeterministic; }

bool any_random(const DistMap& dists) {
  for (const auto& [name, dist] : dists) {
    if (!is_deterministic(dist)) return true;
  }
  return false;
}

// Writes a node's output distributions into the context and the result's
// groupings. Branch copies write only their branch-qualified keys.
void record_outputs(StatResult& result, DistMap& context, const Node& node, const DistMap& outputs) {
  for (const auto& [name, dist] : outputs) {
    if (node.branch_id) {
      context.insert_or_assign(branch_key(*node.branch_id, name), dist);
      result.by_branch[*node.branch_id].insert_or_assign(name, dist);
    } else {
      context.insert_or_assign(name, dist);
    }
    result.by_node[node.id].insert_or_assign(name, dist);
    if (node.variant_index) result.by_variant[*node.variant_index].insert_or_assign(name, dist);
  }
}

std::unordered_set<NodeId> resolve_target_ids(const std::vector<Node>& nodes, const PredictTarget& target) {
  std::unordered_set<NodeId> ids;
  for (const Node& node : nodes) {
    const bool selected = std::visit(
        [&](const auto& selector) {
          using T = std::decay_t<decltype(selector)>;
          if constexpr (std::is_same_v<T, PredictTarget::Node>) {
            return node.label && *node.label == selector.label;
          } else if constexpr (std::is_same_v<T, PredictTarget::Branch>) {
            return node.branch_id && *node.branch_id == selector.id;
          } else {
            return node.variant_index && *node.variant_index == selector.index;
          }
        },
        target.selector);
    if (selected) ids.insert(node.id);
  }
  return ids;
}

// The values one node produces over the particles, by output key. Values
// stay with the particles that produced them: each builder holds an entry
// per particle and a presence mask. Builders never move once made.
class OutputColumns {
 public:
  struct Builder {
    std::vector<double> values;  // per particle; NaN where absent
    std::vector<bool> present;
    std::size_t count = 0;       // particles with a value
    SampleVector whole;          // instead of the above: a value for every particle
  };

  explicit OutputColumns(std::size_t particles) : particles_(particles) {}

  // Records output `name` of particle `index`: numbers as they are, vectors
  // as a length plus one value per element.
  void collect(const std::string& name, const GraphData& value, std::size_t index) {
    switch (value.kind()) {
      case DataKind::kFloatVec: {
        const auto& elements = value.as_float_vec();
        VectorOutput& out = vector_output(name, elements.size());
        put(*out.length, index, static_cast<double>(elements.size()));
        for (std::size_t j = 0; j < elements.size(); ++j) put(*out.elements[j], index, elements[j]);
        return;
      }
      case DataKind::kIntVec: {
        const auto& elements = value.as_int_vec();
        VectorOutput& out = vector_output(name, elements.size());
        put(*out.length, index, static_cast<double>(elements.size()));
        for (std::size_t j = 0; j < elements.size(); ++j) put(*out.elements[j], index, static_cast<double>(elements[j]));
        return;
      }
      case DataKind::kInt:
      case DataKind::kFloat:
      case DataKind::kPyObject:
        if (auto number = value.as_f64_lossy()) put(builder(name), index, *number);
        return;
      default:
        return;
    }
  }

  // Records number output `name` of a block of `length` particles: of
  // particles first .. first + length - 1, or with `indices` of particles
  // indices[k]; `values` holds one value per particle of the block, or when
  // null `number` holds for all of them. Values for every particle at once
  // are kept as they are.
  void collect_block(const std::string& name, std::size_t first, std::span<const std::size_t> indices,
                     std::size_t length, SampleVector values, double number) {
    Builder& b = builder(name);
    if (values && b.values.empty() && !b.whole && indices.empty() && first == 0 && length == particles_) {
      b.whole = std::move(values);
      b.count = particles_;
      return;
    }
    if (b.whole) unpack(b);
    if (b.values.empty()) {
      b.values.assign(particles_, std::numeric_limits<double>::quiet_NaN());
      b.present.assign(particles_, false);
    }
    for (std::size_t k = 0; k < length; ++k) {
      const std::size_t index = indices.empty() ? first + k : indices[k];
      b.values[index] = values ? (*values)[k] : number;
      if (!b.present[index]) {
        b.present[index] = true;
        ++b.count;
      }
    }
  }

  // Every column of a single evaluation (recorded as particle 0) given to
  // all `count` particles.
  OutputColumns replicated(std::size_t count) const {
    OutputColumns all(count);
    for (const auto& [key, one] : builders_) {
      Builder& filled = all.builder(key);
      filled.values.assign(count, one.values.front());
      filled.count = count;
    }
    return all;
  }

  std::unordered_map<std::string, Builder>& builders() noexcept { return builders_; }

 private:
  struct VectorOutput {
    Builder* length = nullptr;
    std::vector<Builder*> elements;  // by index, as far as any particle reached
  };

  Builder& builder(const std::string& key) { return builders_[key]; }
  VectorOutput& vector_output(const std::string& name, std::size_t length) {
    VectorOutput& out = vectors_[name];
    if (out.length == nullptr) out.length = &builder(veclen_key(name));
    while (out.elements.size() < length) out.elements.push_back(&builder(element_key(name, out.elements.size())));
    return out;
  }
  // A builder holding `whole` as values and presence instead.
  void unpack(Builder& b) {
    b.values.assign(b.whole->begin(), b.whole->end());
    b.present.assign(particles_, true);
    b.whole = nullptr;
  }
  void put(Builder& b, std::size_t index, double value) {
    if (b.whole) unpack(b);
    if (b.values.empty()) {
      b.values.assign(particles_, std::numeric_limits<double>::quiet_NaN());
      b.present.assign(particles_, false);
    }
    b.values[index] = value;
    if (!b.present[index]) {
      b.present[index] = true;
      ++b.count;
    }
  }

  std::size_t particles_;
  std::unordered_map<std::string, Builder> builders_;
  std::unordered_map<std::string, VectorOutput> vectors_;
};

// A particle's length entry as a vector length: negative and NaN give 0,
// values beyond the range saturate.
std::size_t to_length(double value) {
  if (!(value > 0)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<std::size_t>::max())) {
    return std::numeric_limits<std::size_t>::max();
  }
  return static_cast<std::size_t>(value);
}


// One node's calls as the propagation layer makes them: the Dag's plan for
// the node, and buffers for the inputs and the outputs of one call.
class PlannedCall {
 public:
  PlannedCall(const Dag& dag, const Node& node)
      : plan_(dag.call_plan()),
        step_(plan_.step(static_cast<std::size_t>(&node - dag.nodes().data()))),
        named_(plan_.inputs(step_).size()),
        vectorized_(node.vectorized) {}

  // Whether the node takes blocks of draws (Node::vectorized).
  bool vectorized() const noexcept { return vectorized_; }
  // The draws per block for the node: `requested`, or the default for its
  // input and output columns.
  std::size_t block_size(std::optional<std::size_t> requested) const {
    return requested ? std::max<std::size_t>(1, *requested)
                     : default_block_size(inputs().size() + plan_.outputs(step_).size());
  }

  const CallPlan& plan() const noexcept { return plan_; }
  const CallPlan::Step& step() const noexcept { return step_; }
  std::span<const CallPlan::Name> inputs() const noexcept { return plan_.inputs(step_); }
  std::span<const CallPlan::Name> lookups() const noexcept { return plan_.lookups(step_); }
  const std::string& key(const CallPlan::Name& name) const { return plan_.key(name.slot); }
  // The index of one of inputs() among them.
  std::size_t index_of(const CallPlan::Name& input) const noexcept {
    return static_cast<std::size_t>(&input - inputs().data());
  }

  // Gathers the inputs for which `value_of(input)` gives a value (the values
  // must stay put until the calls end) and keeps them for call().
  template <typename ValueOf>
  void gather(ValueOf&& value_of) {
    count_ = plan_.gather(step_, value_of, named_.data());
  }
  // Calls the node on the gathered inputs; false when the call failed.
  // Failures past the first few are counted without being reported.
  bool call() { return call_on({named_.data(), count_}); }
  // Calls the node on `inputs` (gathered as gather() does), counted like call().
  bool call_on(std::span<const NamedValue> inputs) {
    ++calls_;
    if (call_into(plan_, step_, inputs.data(), inputs.size(), record_, failures_ < kReportedFailures)) return true;
    ++failures_;
    return false;
  }
  template <typename ValueOf>
  bool call(ValueOf&& value_of) {
    gather(value_of);
    return call();
  }
  // The inputs gathered last.
  std::span<const NamedValue> gathered() const noexcept { return {named_.data(), count_}; }
  // Call `index` of the ended task `ticket`, made elsewhere, taken into
  // record() and counted as call() counts: false when it failed.
  bool take_from(CallDispatcher& dispatcher, CallDispatcher::Ticket ticket, std::size_t index) {
    ++calls_;
    record_.clear();
    RecordSink sink(plan_, step_, record_);
    CallSite site = step_.site;
    site.report = failures_ < kReportedFailures;
    if (dispatcher.take(ticket, index, sink, site)) return true;
    record_.clear();
    ++failures_;
    return false;
  }
  // Calls the node once on a block of `length` draws, input i reading
  // `columns[i]` (null where the input is absent; the first present input
  // per impl name wins, as in gathering). True when the node took the
  // block, its outputs then in block_record(); otherwise the first refusal
  // is kept for refusal_warning().
  // `owners[i]`, when given and set, owns column i (BlockInput::owner).
  bool call_block(std::span<const double* const> columns, std::size_t length,
                  std::span<const std::shared_ptr<const void>> owners = {}) {
    block_inputs_.clear();
    const std::span<const CallPlan::Name> names = inputs();
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (columns[i] == nullptr) continue;
      const std::string_view name = plan_.impl(names[i]);
      if (step_.repeated_impl &&
          std::any_of(block_inputs_.begin(), block_inputs_.end(), [&](const BlockInput& b) { return b.name == name; })) {
        continue;
      }
      block_inputs_.push_back({name, std::span<const double>(columns[i], length), owners.empty() ? nullptr : owners[i]});
    }
    block_record_.clear();
    BlockRecordSink sink(plan_, step_, block_record_);
    std::optional<std::string> refusal =
        step_.function->call_block(block_inputs_.data(), block_inputs_.size(), length, sink, step_.site);
    block_inputs_.clear();  // the owners go back to the caller
    if (!refusal) return true;
    block_record_.clear();
    if (!refusal_) refusal_.emplace(length, std::move(*refusal));
    return false;
  }
  // A block call's outputs in offer order: (output index, column or, when
  // there is none, `number` for every draw).
  struct BlockOutput {
    std::uint32_t index;
    SampleVector column;
    double number;
  };
  std::vector<BlockOutput>& block_record() noexcept { return block_record_; }
  // The warning for the node's first refused block, when there was one.
  std::optional<std::string> refusal_warning() const {
    if (!refusal_) return std::nullopt;
    return "quillon: " + describe_node(step_.site) + " did not take a block of " + with_separators(refusal_->first) +
           " draws (" + refusal_->second + "); blocks it does not take are evaluated one draw at a time";
  }

  // The summary of the failures that were not reported, when there were any.
  std::optional<std::string> unreported_failures() const {
    if (failures_ <= kReportedFailures) return std::nullopt;
    return "quillon: " + describe_node(step_.site) + " failed on " + with_separators(failures_) + " of " +
           with_separators(calls_) + " draws; the rest were not printed";
  }
  // The last call's outputs, by output index in the order offered.
  const CallRecord& record() const noexcept { return record_; }
  // The last call's outputs by broadcast name; a later offer for one name
  // replaces an earlier one.
  DataMap outputs_by_broadcast() {
    DataMap outputs;
    for (auto& [index, value] : record_) outputs.insert_or_assign(plan_.broadcast(step_, index), std::move(value));
    record_.clear();
    return outputs;
  }

 private:
  class BlockRecordSink final : public BlockSink {
   public:
    BlockRecordSink(const CallPlan& plan, const CallPlan::Step& step, std::vector<BlockOutput>& record)
        : plan_(plan), step_(step), record_(record) {}
    int index_for(std::string_view impl_name) override { return plan_.output_index(step_, impl_name); }
    void put_column(int index, SampleVector values) override {
      record_.push_back({static_cast<std::uint32_t>(index), std::move(values), 0.0});
    }
    void put_number(int index, double value) override {
      record_.push_back({static_cast<std::uint32_t>(index), nullptr, value});
    }

   private:
    const CallPlan& plan_;
    const CallPlan::Step& step_;
    std::vector<BlockOutput>& record_;
  };

  const CallPlan& plan_;
  const CallPlan::Step& step_;
  std::vector<NamedValue> named_;
  std::size_t count_ = 0;
  CallRecord record_;
  std::size_t calls_ = 0;
  std::size_t failures_ = 0;
  bool vectorized_;
  std::vector<BlockInput> block_inputs_;
  std::vector<BlockOutput> block_record_;
  std::optional<std::pair<std::size_t, std::string>> refusal_;  // block length, reason
};

// A node's calls sent to a dispatcher's workers a chunk at a time, their
// outcomes handed back in the order the calls were added, so that a result
// never depends on which worker finished first or how the calls were cut.
// At most kWindow chunks are out at once; an earlier chunk is taken before a
// later one is sent past that. A function the dispatcher cannot send is
// called here, in the same order.
class ChunkedCalls {
 public:
  // `on_outputs(tag, record)` hears each call that succeeded.
  using OnOutputs = std::function<void(std::size_t tag, const CallRecord& record)>;

  ChunkedCalls(CallDispatcher& dispatcher, PlannedCall& call, std::size_t chunk, InterruptPoll& poll,
               OnOutputs on_outputs)
      : dispatcher_(dispatcher), call_(call), chunk_(std::max<std::size_t>(chunk, 1)), poll_(poll),
        on_outputs_(std::move(on_outputs)) {}
  ~ChunkedCalls() {
    if (!out_.empty()) dispatcher_.abandon();
  }
  ChunkedCalls(const ChunkedCalls&) = delete;
  ChunkedCalls& operator=(const ChunkedCalls&) = delete;

  // Adds a call on the inputs call.gather() took last, known by `tag`.
  void add(std::size_t tag) {
    for (const NamedValue& input : call_.gathered()) {
      filling_.names.push_back(input.name);
      filling_.values.push_back(*input.value);
    }
    filling_.ends.push_back(filling_.values.size());
    filling_.tags.push_back(tag);
    if (filling_.tags.size() == chunk_) send();
  }

  // Sends what is left and takes every outcome.
  void finish() {
    if (!filling_.tags.empty()) send();
    while (!out_.empty()) take_front();
  }

 private:
  static constexpr std::size_t kWindow = 64;

  struct Chunk {
    std::vector<std::string_view> names;
    std::vector<GraphData> values;
    std::vector<std::size_t> ends;  // per call: where its inputs end
    std::vector<std::size_t> tags;
    CallDispatcher::Ticket ticket = 0;
    bool ended = false;
  };

  void send() {
    while (out_.size() >= kWindow) take_front();
    Chunk chunk = std::move(filling_);
    filling_ = Chunk();
    std::vector<NamedValue> named(chunk.values.size());
    for (std::size_t j = 0; j < named.size(); ++j) named[j] = {chunk.names[j], &chunk.values[j]};
    std::vector<std::span<const NamedValue>> calls(chunk.tags.size());
    std::size_t begin = 0;
    for (std::size_t k = 0; k < calls.size(); ++k) {
      calls[k] = std::span<const NamedValue>(named.data() + begin, chunk.ends[k] - begin);
      begin = chunk.ends[k];
    }
    chunk.ticket = next_ticket_++;
    if (!local_ && dispatcher_.submit(chunk.ticket, *call_.step().function, call_.step().site, calls)) {
      chunk.names.clear();
      chunk.values.clear();  // the dispatcher has what it needs
      out_.push_back(std::move(chunk));
      return;
    }
    // Nothing is out once one chunk could not be sent: every chunk is the
    // same function's.
    local_ = true;
    for (std::size_t k = 0; k < calls.size(); ++k) {
      if (k % kParticlesPerPoll == 0) poll_();
      if (call_.call_on(calls[k])) on_outputs_(chunk.tags[k], call_.record());
    }
  }

  // Waits for the oldest chunk out and hands its outcomes on.
  void take_front() {
    Chunk& front = out_.front();
    while (!front.ended) {
      poll_();
      ended_.clear();
      dispatcher_.wait(InterruptPoll::kInterval, ended_);
      for (CallDispatcher::Ticket ticket : ended_) {
        for (Chunk& chunk : out_) {
          if (chunk.ticket == ticket) chunk.ended = true;
        }
      }
    }
    for (std::size_t k = 0; k < front.tags.size(); ++k) {
      if (call_.take_from(dispatcher_, front.ticket, k)) on_outputs_(front.tags[k], call_.record());
    }
    dispatcher_.release(front.ticket);
    out_.pop_front();
  }

  CallDispatcher& dispatcher_;
  PlannedCall& call_;
  const std::size_t chunk_;
  InterruptPoll& poll_;
  OnOutputs on_outputs_;
  Chunk filling_;
  std::deque<Chunk> out_;
  std::vector<CallDispatcher::Ticket> ended_;
  CallDispatcher::Ticket next_ticket_ = 0;
  bool local_ = false;
};

// Where a propagation's calls go: a dispatcher's workers, in chunks of the
// given or the default size, or (no dispatcher) this thread.
struct Dispatch {
  CallDispatcher* dispatcher = nullptr;
  std::optional<std::size_t> chunk_size;
  std::size_t chunk(std::size_t calls) const { return chunk_size ? *chunk_size : default_chunk_size(calls); }
};

// The notices of one propagation, handed to its control at the end.
class Notices {
 public:
  explicit Notices(RunControl* control) noexcept : control_(control) {}
  void note_failures(const PlannedCall& call) {
    if (auto line = call.unreported_failures()) lines_.push_back(std::move(*line));
    if (auto warning = call.refusal_warning()) warnings_.push_back(std::move(*warning));
  }
  void deliver() {
    if (control_ == nullptr) return;
    for (const std::string& line : lines_) control_->notice(line);
    for (const std::string& warning : warnings_) control_->warn(warning);
  }

 private:
  RunControl* control_;
  std::vector<std::string> lines_;
  std::vector<std::string> warnings_;
};

// Each input's distribution by impl name, the first present per impl name
// winning as in gathering; names never gathered come after the others.
DistMap impl_dists(const PlannedCall& call, const DistMap& context) {
  DistMap dists;
  auto add = [&](std::span<const CallPlan::Name> names) {
    for (const CallPlan::Name& name : names) {
      if (auto it = context.find(call.key(name)); it != context.end()) {
        dists.try_emplace(std::string(call.plan().impl(name)), it->second);
      }
    }
  };
  add(call.inputs());
  add(call.lookups());
  return dists;
}

// One call on the means of the inputs' distributions (a point mass's
// value); its outputs by broadcast name, none when it failed.
DataMap call_at_means(PlannedCall& call, const DistMap& context) {
  std::vector<std::optional<GraphData>> means(call.inputs().size());
  for (const CallPlan::Name& input : call.inputs()) {
    if (auto it = context.find(call.key(input)); it != context.end()) {
      means[call.index_of(input)] = GraphData::from_float(it->second.mean());
    }
  }
  call.call([&](const CallPlan::Name& input) -> const GraphData* {
    const auto& mean = means[call.index_of(input)];
    return mean ? &*mean : nullptr;
  });
  return call.outputs_by_broadcast();
}

// The draws of the distributions one node reads in predict_at, column by
// column. Seeded, draws 256·b to 256·b + 255 of column d come from the
// sub-stream {kBlockStream, node, b, d} however the draws are split into
// fills, so the draws never depend on block sizes; unseeded, from the
// calling thread's generator.
class DrawStreams {
 public:
  DrawStreams(std::vector<const Distribution*> dists, std::optional<std::uint64_t> seed, NodeId node)
      : dists_(std::move(dists)), streams_(dists_.size()), seed_(seed), node_(node) {}

  std::size_t size() const noexcept { return dists_.size(); }

  // Fills `out` with draws start .. start + out.size() - 1 of column d. The
  // fills of one column follow each other without a gap.
  void fill(std::size_t d, std::size_t start, std::span<double> out) {
    if (!seed_) return dists_[d]->sample_into(out, thread_rng());
    Stream& stream = streams_[d];
    for (std::size_t done = 0; done < out.size();) {
      const std::size_t draw = start + done;
      const std::size_t block = draw / kBlockStreamDraws;
      if (!stream.rng || stream.block != block) {
        stream.rng.emplace(Rng::for_stream(*seed_, {kBlockStream, node_, block, d}));
        stream.block = block;
      }
      const std::size_t take = std::min(out.size() - done, (block + 1) * kBlockStreamDraws - draw);
      dists_[d]->sample_into(out.subspan(done, take), *stream.rng);
      done += take;
    }
  }

 private:
  struct Stream {
    std::size_t block = 0;
    std::optional<Rng> rng;
  };
  std::vector<const Distribution*> dists_;
  std::vector<Stream> streams_;
  std::optional<std::uint64_t> seed_;
  NodeId node_;
};

// Runs a node on `n` independent draws of its inputs and returns each
// output broadcast name that ever yielded a number as the Empirical of those
// numbers, in draw order. Draws come a block at a time: a vectorised node
// takes the block in one call when it can, otherwise the inputs are gathered
// once and their values overwritten per draw. Outputs go to one column per
// broadcast name, the last value offered in a draw winning.
DistMap monte_carlo(PlannedCall& call, const DistMap& context, std::size_t n, std::optional<std::uint64_t> seed,
                    std::optional<std::size_t> block_size, NodeId node, InterruptPoll& poll, const Dispatch& dispatch) {
  // Each distinct context key the node looks up is drawn once per sample,
  // names it never gathers included.
  std::vector<const Distribution*> drawn;
  std::vector<std::uint32_t> drawn_slots;
  auto draw_column = [&](const CallPlan::Name& name) -> std::ptrdiff_t {
    auto it = context.find(call.key(name));
    if (it == context.end()) return -1;
    auto known = std::find(drawn_slots.begin(), drawn_slots.end(), name.slot);
    if (known != drawn_slots.end()) return known - drawn_slots.begin();
    drawn_slots.push_back(name.slot);
    drawn.push_back(&it->second);
    return static_cast<std::ptrdiff_t>(drawn.size() - 1);
  };
  const std::span<const CallPlan::Name> inputs = call.inputs();
  std::vector<std::ptrdiff_t> feeds(inputs.size());
  for (std::size_t i = 0; i < inputs.size(); ++i) feeds[i] = draw_column(inputs[i]);
  for (const CallPlan::Name& lookup : call.lookups()) draw_column(lookup);
  DrawStreams streams(std::move(drawn), seed, node);
  std::vector<GraphData> values(inputs.size(), GraphData::from_float(0.0));
  call.gather([&](const CallPlan::Name& input) -> const GraphData* {
    const std::size_t i = call.index_of(input);
    return feeds[i] >= 0 ? &values[i] : nullptr;
  });

  // An output's numbers: `values`, or `whole` when one block call gave
  // them all.
  struct Column {
    const std::string* broadcast;
    std::uint32_t slot;
    std::vector<double> values;
    SampleVector whole;
  };
  std::vector<Column> columns;
  const std::span<const CallPlan::Name> outputs = call.plan().outputs(call.step());
  std::vector<std::size_t> column_of(outputs.size());
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    auto it = std::find_if(columns.begin(), columns.end(), [&](const Column& c) { return c.slot == outputs[i].slot; });
    if (it == columns.end()) it = columns.insert(columns.end(), Column{&call.plan().broadcast(call.step(), i), outputs[i].slot, {}, nullptr});
    column_of[i] = static_cast<std::size_t>(it - columns.begin());
  }
  // A vectorised node's first block usually hands over whole columns.
  if (!call.vectorized()) {
    for (Column& column : columns) column.values.reserve(n);
  }
  std::vector<const GraphData*> latest(columns.size());
  std::vector<PlannedCall::BlockOutput*> latest_block(columns.size());
  // One draw's outputs into the columns.
  auto collect = [&](const CallRecord& record) {
    std::fill(latest.begin(), latest.end(), nullptr);
    for (const auto& [index, value] : record) latest[column_of[index]] = &value;
    for (std::size_t c = 0; c < columns.size(); ++c) {
      const GraphData* value = latest[c];
      if (value == nullptr) continue;
      if (value->kind() == DataKind::kFloat) {
        columns[c].values.push_back(value->as_float());
      } else if (auto number = value->as_f64_lossy()) {
        columns[c].values.push_back(*number);
      }
    }
  };
  // Draws a vectorised node does not take stay here; the others go to the
  // dispatcher's workers when there is one.
  std::optional<ChunkedCalls> chunks;
  if (dispatch.dispatcher != nullptr && !call.vectorized()) {
    chunks.emplace(*dispatch.dispatcher, call, dispatch.chunk(n), poll,
                   [&](std::size_t, const CallRecord& record) { collect(record); });
  }

  // Inputs are drawn a block at a time, each distribution filling its own
  // run of the block: the draws are as independent as one at a time, and
  // the sampling loops (and the reads of an Empirical's samples) run
  // without a node call between every two of them.
  // The draws of a block, column after column. A node function may keep
  // the buffer it was lent; the next block then gets a new one.
  const std::size_t block = std::min(n, call.vectorized() ? call.block_size(block_size) : kBlockStreamDraws);
  std::shared_ptr<std::vector<double>> buffer;
  std::vector<const double*> block_columns(inputs.size(), nullptr);
  std::vector<std::shared_ptr<const void>> owners(inputs.size());
  for (std::size_t start = 0; start < n; start += block) {
    poll();
    if (!buffer || buffer.use_count() != 1) {
      buffer = std::make_shared<std::vector<double>>(streams.size() * block);
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (feeds[i] >= 0) block_columns[i] = buffer->data() + static_cast<std::size_t>(feeds[i]) * block;
      }
    }
    const std::size_t length = std::min(block, n - start);
    for (std::size_t d = 0; d < streams.size(); ++d) {
      streams.fill(d, start, std::span<double>(buffer->data() + d * block, length));
    }
    if (call.vectorized()) {
      for (std::size_t i = 0; i < inputs.size(); ++i) owners[i] = feeds[i] >= 0 ? buffer : nullptr;
    }
    const bool taken = call.vectorized() && call.call_block(block_columns, length, owners);
    std::fill(owners.begin(), owners.end(), nullptr);
    if (taken) {
      std::fill(latest_block.begin(), latest_block.end(), nullptr);
      for (PlannedCall::BlockOutput& output : call.block_record()) latest_block[column_of[output.index]] = &output;
      for (std::size_t c = 0; c < columns.size(); ++c) {
        PlannedCall::BlockOutput* output = latest_block[c];
        if (output == nullptr) continue;
        std::vector<double>& into = columns[c].values;
        if (!output->column) {
          into.insert(into.end(), length, output->number);
        } else if (into.empty() && length == n) {
          columns[c].whole = std::move(output->column);
        } else {
          into.insert(into.end(), output->column->begin(), output->column->end());
        }
      }
      continue;
    }
    for (std::size_t draw = 0; draw < length; ++draw) {
      if (draw != 0 && draw % kBlockStreamDraws == 0) poll();
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (feeds[i] >= 0) values[i].assign(GraphData::from_float(block_columns[i][draw]));
      }
      if (chunks) {
        chunks->add(start + draw);
      } else if (call.call()) {
        collect(call.record());
      }
    }
  }
  if (chunks) chunks->finish();

  DistMap result;
  for (Column& column : columns) {
    if (column.whole) {
      result.insert_or_assign(*column.broadcast, Distribution::empirical(std::move(column.whole)));
    } else if (!column.values.empty()) {
      result.insert_or_assign(*column.broadcast, Distribution::empirical(std::move(column.values)));
    }
  }
  return result;
}

// Runs one node on particle after particle. Each input's column is found
// once; a particle holding an input as a vector has it rebuilt from its
// length and element columns.
class ParticleCaller {
 public:
  ParticleCaller(PlannedCall& call, const ParticleTable& table)
      : call_(call), table_(table), values_(call.inputs().size()), present_(values_.size()) {
    for (const CallPlan::Name& input : call.inputs()) {
      const std::string& key = call.key(input);
      inputs_.push_back({table.find(key), table.find(veclen_key(key)), {}});
    }
    const std::span<const CallPlan::Name> outputs = call.plan().outputs(call.step());
    for (std::size_t i = 0; i < outputs.size(); ++i) {
      std::size_t target = 0;
      while (target < slots_.size() && slots_[target] != outputs[i].slot) ++target;
      if (target == slots_.size()) {
        slots_.push_back(outputs[i].slot);
        broadcasts_.push_back(&call.plan().broadcast(call.step(), i));
      }
      target_of_.push_back(target);
    }
    latest_.resize(slots_.size());
    latest_block_.resize(slots_.size());
    block_columns_.resize(inputs_.size());
    owners_.resize(inputs_.size());
  }

  // Whether the node can take its particles a block at a time: none of its
  // inputs is held as a vector.
  bool takes_blocks() const noexcept {
    return std::all_of(inputs_.begin(), inputs_.end(), [](const Input& input) { return input.length == nullptr; });
  }

  // Particles first .. first + length - 1 in one call of the node, those of
  // them lacking one of its inputs one at a time; the whole block one at a
  // time when the node does not take it.
  void run_block(std::size_t first, std::size_t length, OutputColumns& columns, InterruptPoll& poll) {
    const bool full = std::all_of(inputs_.begin(), inputs_.end(), [](const Input& input) {
      return input.column == nullptr || input.column->present.empty();
    });
    indices_.clear();
    if (!full) {
      for (std::size_t index = first; index < first + length; ++index) {
        const bool complete = std::all_of(inputs_.begin(), inputs_.end(), [&](const Input& input) {
          return input.column == nullptr || input.column->has(index);
        });
        if (complete) {
          indices_.push_back(index);
        } else {
          if ((index - first) % kParticlesPerPoll == 0) poll();
          run(index, columns);
        }
      }
      if (indices_.empty()) return;
    }
    const std::size_t taken = full ? length : indices_.size();
    scratch_.resize(inputs_.size());
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
      const ParticleTable::Column* column = inputs_[i].column;
      if (column == nullptr) {
        block_columns_[i] = nullptr;
      } else if (full) {
        block_columns_[i] = column->values->data() + first;
        owners_[i] = column->values;
      } else {
        scratch_[i].resize(taken);
        for (std::size_t k = 0; k < taken; ++k) scratch_[i][k] = column->at(indices_[k]);
        block_columns_[i] = scratch_[i].data();
      }
    }
    const bool took = call_.call_block(block_columns_, taken, owners_);
    std::fill(owners_.begin(), owners_.end(), nullptr);
    if (took) {
      std::fill(latest_block_.begin(), latest_block_.end(), nullptr);
      for (PlannedCall::BlockOutput& output : call_.block_record()) latest_block_[target_of_[output.index]] = &output;
      for (std::size_t t = 0; t < latest_block_.size(); ++t) {
        PlannedCall::BlockOutput* output = latest_block_[t];
        if (output == nullptr) continue;
        columns.collect_block(*broadcasts_[t], first, indices_, taken, std::move(output->column), output->number);
      }
      return;
    }
    for (std::size_t k = 0; k < taken; ++k) {
      if (k % kParticlesPerPoll == 0) poll();
      run(full ? first + k : indices_[k], columns);
    }
  }

  void run(std::size_t index, OutputColumns& columns) {
    gather(index);
    if (call_.call()) collect(index, call_.record(), columns);
  }

  // Gathers particle `index`'s inputs into the call (PlannedCall::gather).
  void gather(std::size_t index) {
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
      const Input& input = inputs_[i];
      present_[i] = input.column != nullptr && input.column->has(index);
      if (present_[i]) {
        values_[i].assign(GraphData::from_float(input.column->at(index)));
      } else if (input.length != nullptr && input.length->has(index)) {
        values_[i] = vector_input(i, index);
        present_[i] = true;
      }
    }
    call_.gather([&](const CallPlan::Name& input) -> const GraphData* {
      const std::size_t i = call_.index_of(input);
      return present_[i] ? &values_[i] : nullptr;
    });
  }

  // The outputs of particle `index`'s call into the columns.
  void collect(std::size_t index, const CallRecord& record, OutputColumns& columns) {
    std::fill(latest_.begin(), latest_.end(), nullptr);
    for (const auto& [output, value] : record) latest_[target_of_[output]] = &value;
    for (std::size_t t = 0; t < latest_.size(); ++t) {
      if (latest_[t] != nullptr) columns.collect(*broadcasts_[t], *latest_[t], index);
    }
  }

 private:
  struct Input {
    const ParticleTable::Column* column;  // the input as a number
    const ParticleTable::Column* length;  // its length entry as a vector
    std::vector<const ParticleTable::Column*> elements;  // element columns, found as needed
  };

  // Input i of particle `index`, held as a vector: its length entry and one
  // entry per element, NaN for a missing element.
  GraphData vector_input(std::size_t i, std::size_t index) {
    Input& input = inputs_[i];
    const std::string& key = call_.key(call_.inputs()[i]);
    const std::size_t length = to_length(input.length->at(index));
    std::vector<double> elements;
    try {
      elements.reserve(length);
    } catch (const std::length_error&) {
      throw PropagationError("vector length " + std::to_string(length) + " of '" + key + "' is too large");
    } catch (const std::bad_alloc&) {
      throw PropagationError("vector length " + std::to_string(length) + " of '" + key + "' is too large");
    }
    while (input.elements.size() < length) input.elements.push_back(table_.find(element_key(key, input.elements.size())));
    for (std::size_t j = 0; j < length; ++j) {
      const ParticleTable::Column* element = input.elements[j];
      elements.push_back(element != nullptr && element->has(index) ? element->at(index)
                                                                   : std::numeric_limits<double>::quiet_NaN());
    }
    return GraphData::from_float_vec(std::move(elements));
  }

  PlannedCall& call_;
  const ParticleTable& table_;
  std::vector<Input> inputs_;
  std::vector<GraphData> values_;
  std::vector<unsigned char> present_;
  std::vector<std::uint32_t> slots_;            // distinct output slots
  std::vector<const std::string*> broadcasts_;  // their broadcast names
  std::vector<std::size_t> target_of_;          // per output: its slot's index
  std::vector<const GraphData*> latest_;        // per slot: the last value offered
  // Block calls: per slot the last output offered, per input the column
  // read (null when absent), the particles of a block that has gaps and
  // their inputs' values.
  std::vector<PlannedCall::BlockOutput*> latest_block_;
  std::vector<const double*> block_columns_;
  std::vector<std::shared_ptr<const void>> owners_;  // set for the columns lent whole
  std::vector<std::size_t> indices_;
  std::vector<std::vector<double>> scratch_;
};

// A node's output columns as distributions, written into the particles under
// their particle keys. A column every particle has shares its values with
// its Empirical.
DistMap finish_columns(OutputColumns& columns, const Node& node, ParticleTable& particles) {
  DistMap outputs;
  for (auto& [key, built] : columns.builders()) {
    ParticleTable::Column column;
    SampleVector samples;
    if (built.whole) {
      samples = std::move(built.whole);
      column.values = samples;
    } else if (built.count == particles.size()) {
      samples = make_samples(std::move(built.values));
      column.values = samples;
    } else {
      std::vector<double> present;
      present.reserve(built.count);
      for (std::size_t i = 0; i < built.values.size(); ++i) {
        if (built.present[i]) present.push_back(built.values[i]);
      }
      samples = make_samples(std::move(present));
      column.values = make_samples(std::move(built.values));
      column.present = std::move(built.present);
    }
    // Branch copies write only their qualified keys into the particles, so a
    // main-line reader of the plain name never sees a branch value.
    particles.set(node.branch_id ? branch_key(*node.branch_id, key) : key, std::move(column));
    outputs.insert_or_assign(key, Distribution::empirical(std::move(samples)));
  }
  return outputs;
}

}  // namespace

StatResult predict_at(const Dag& dag, DistMap inputs, std::optional<std::size_t> n_samples,
                      const std::optional<PredictTarget>& target, RunControl* control,
                      std::optional<std::uint64_t> seed, std::optional<std::size_t> block_size,
                      ProgressSink* progress, CallDispatcher* dispatcher, std::optional<std::size_t> chunk_size) {
  const Dispatch dispatch{dispatcher, chunk_size};
  InterruptPoll poll(control);
  const std::uint64_t total_nodes = dag.topological_order().size();
  std::uint64_t nodes_done = 0;
  Notices notices(control);
  std::unordered_set<NodeId> target_ids;
  if (target) target_ids = resolve_target_ids(dag.nodes(), *target);
  std::unordered_set<NodeId> completed;
  StatResult result;
  DistMap context = std::move(inputs);

  for (NodeId id : dag.topological_order()) {
    const Node* node = dag.find_node(id);
    if (node == nullptr) continue;
    poll();
    PlannedCall call(dag, *node);
    const DistMap dists = impl_dists(call, context);

    std::optional<DistMap> outputs;
    if (node->dist_transfer) {
      if (std::optional<DistMap> answer = (*node->dist_transfer)(dists)) {
        outputs.emplace();
        const std::span<const CallPlan::Name> planned = call.plan().outputs(call.step());
        for (std::size_t i = 0; i < planned.size(); ++i) {
          auto it = answer->find(std::string(call.plan().impl(planned[i])));
          if (it != answer->end()) outputs->insert_or_assign(call.plan().broadcast(call.step(), i), it->second);
        }
      }
    }
    if (!outputs && any_random(dists)) {
      if (!n_samples) throw PropagationError(kMissingSamplesError);
      outputs = monte_carlo(call, context, *n_samples, seed, block_size, id, poll, dispatch);
    } else if (!outputs) {
      outputs.emplace();
      for (const auto& [name, value] : call_at_means(call, context)) {
        if (auto number = value.as_f64_lossy()) outputs->insert_or_assign(name, Distribution::deterministic(*number));
      }
    }
    record_outputs(result, context, *node, *outputs);
    notices.note_failures(call);

    if (progress != nullptr) progress->update(++nodes_done, total_nodes);
    if (target_ids.contains(id)) {
      completed.insert(id);
      if (completed.size() == target_ids.size()) break;
    }
  }
  if (progress != nullptr) progress->update(total_nodes, total_nodes);
  result.vars = std::move(context);
  notices.deliver();
  return result;
}

StatResult predict(const Dag& dag, const DistMap& inputs, std::size_t n_samples, RunControl* control,
                   std::optional<std::uint64_t> seed, std::optional<std::size_t> block_size,
                   ProgressSink* progress, CallDispatcher* dispatcher, std::optional<std::size_t> chunk_size) {
  const Dispatch dispatch{dispatcher, chunk_size};
  InterruptPoll poll(control);
  const std::uint64_t total_steps = static_cast<std::uint64_t>(dag.topological_order().size()) * n_samples;
  std::uint64_t steps_before = 0;  // particle steps of the nodes already done
  auto tell = [&](std::size_t particles_done) {
    if (progress != nullptr) progress->update(steps_before + particles_done, total_steps);
  };
  Notices notices(control);
  ParticleTable particles(n_samples);
  DistMap context;
  // Each input is drawn independently, one value per particle; its marginal
  // is the empirical distribution of those draws, sharing their storage.
  for (const auto& [name, dist] : inputs) {
    // Without particles nothing is drawn, so nothing can fail to draw.
    std::optional<Rng> input_rng;
    if (seed) input_rng.emplace(Rng::for_stream(*seed, {kInputStream, Rng::key_of(name)}));
    SampleVector draws = make_samples(
        n_samples == 0 ? std::vector<double>{} : dist.sample_n_with_rng(n_samples, input_rng ? *input_rng : thread_rng()));
    particles.set(name, ParticleTable::Column{draws, {}, false});
    context.insert_or_assign(name, Distribution::empirical(std::move(draws)));
  }
  StatResult result;

  for (NodeId id : dag.topological_order()) {
    const Node* node = dag.find_node(id);
    if (node == nullptr) continue;
    poll();
    PlannedCall call(dag, *node);
    OutputColumns columns(n_samples);
    if (any_random(impl_dists(call, context))) {
      ParticleCaller caller(call, particles);
      if (call.vectorized() && caller.takes_blocks()) {
        const std::size_t block = call.block_size(block_size);
        for (std::size_t first = 0; first < n_samples; first += block) {
          poll();
          tell(first);
          caller.run_block(first, std::min(block, n_samples - first), columns, poll);
        }
      } else if (dispatch.dispatcher != nullptr && !call.vectorized()) {
        ChunkedCalls chunks(*dispatch.dispatcher, call, dispatch.chunk(n_samples), poll,
                            [&](std::size_t index, const CallRecord& record) {
                              if (index % kParticlesPerPoll == 0) tell(index);
                              caller.collect(index, record, columns);
                            });
        for (std::size_t i = 0; i < n_samples; ++i) {
          if (i % kParticlesPerPoll == 0) poll();
          caller.gather(i);
          chunks.add(i);
        }
        chunks.finish();
      } else {
        for (std::size_t i = 0; i < n_samples; ++i) {
          if (i % kParticlesPerPoll == 0) {
            poll();
            tell(i);
          }
          caller.run(i, columns);
        }
      }
    } else {
      OutputColumns single(1);
      for (const auto& [name, value] : call_at_means(call, context)) single.collect(name, value, 0);
      columns = single.replicated(n_samples);
    }

    DistMap outputs = finish_columns(columns, *node, particles);
    record_outputs(result, context, *node, outputs);
    notices.note_failures(call);
    // A vector output X is also reported under X itself, with the
    // distribution of its first element; in the context only.
    for (const auto& [key, dist] : outputs) {
      if (!key.starts_with(kVecLenPrefix)) continue;
      const std::string base = key.substr(kVecLenPrefix.size());
      auto first = outputs.find(element_key(base, 0));
      if (first == outputs.end()) continue;
      context.try_emplace(node->branch_id ? branch_key(*node->branch_id, base) : base, first->second);
    }
    tell(n_samples);
    steps_before += n_samples;
  }
  if (progress != nullptr) progress->update(total_steps, total_steps);
  result.vars = std::move(context);
  result.particles = std::move(particles);
  notices.deliver();
  return result;
}

}  // namespace quillon
