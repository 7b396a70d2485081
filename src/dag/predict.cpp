#include "dag/predict.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "distribution/dist_transfer.hpp"

namespace quillon {

namespace {

constexpr std::string_view kVecLenPrefix = "__veclen__";

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

// The mini context of a single evaluation: each input that has a
// distribution, under its context key, as a Float holding the mean (for a
// point mass, its value).
DataMap build_mean_ctx(const Node& node, const DistMap& context) {
  DataMap mini;
  for (const auto& [broadcast, impl] : node.inputs) {
    std::string key = broadcast_to_lookup_key(broadcast);
    if (auto it = context.find(key); it != context.end()) {
      mini.insert_or_assign(std::move(key), GraphData::from_float(it->second.mean()));
    }
  }
  return mini;
}

DistMap gather_impl_dists(const Node& node, const DistMap& context) {
  DistMap dists;
  for (const auto& [broadcast, impl] : node.inputs) {
    auto it = context.find(broadcast_to_lookup_key(broadcast));
    if (it != context.end()) dists.insert_or_assign(impl, it->second);
  }
  return dists;
}

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

// Runs a node on `n` independent draws of its inputs and returns each
// output broadcast name that ever yielded a number as the Empirical of those
// numbers, in draw order. Gives what executing the node on a fresh mini
// context per draw gives, without building maps per draw: the input map is
// made once and its values overwritten, and every output name is resolved to
// its buffer once.
DistMap monte_carlo(const Node& node, const DistMap& context, std::size_t n, Rng& rng) {
  // Each distinct context key the node reads is drawn once per sample.
  std::vector<const Distribution*> slot_dists;
  std::vector<std::string> slot_keys;
  std::vector<std::pair<std::string, std::size_t>> feeds;  // impl name <- slot
  DataMap inputs;
  for (const auto& [broadcast, impl] : node.inputs) {
    std::string key = broadcast_to_lookup_key(broadcast);
    auto it = context.find(key);
    if (it == context.end()) continue;
    std::size_t slot = std::find(slot_keys.begin(), slot_keys.end(), key) - slot_keys.begin();
    if (slot == slot_keys.size()) {
      slot_keys.push_back(std::move(key));
      slot_dists.push_back(&it->second);
    }
    // Input gathering skips names with more than one colon, and when two
    // broadcast names feed one impl name the first one read stays.
    if (!context_key_for_input(broadcast)) continue;
    if (inputs.try_emplace(impl, GraphData::from_float(0.0)).second) feeds.emplace_back(impl, slot);
  }
  std::vector<std::pair<GraphData*, std::size_t>> targets;
  std::vector<NamedValue> named;
  for (const auto& [impl, slot] : feeds) {
    auto it = inputs.find(impl);
    targets.emplace_back(&it->second, slot);
    named.push_back({it->first, &it->second});
  }

  // Per output broadcast name, the impl names that write it in the order the
  // outputs table is read; the last one present in a draw wins.
  struct Sink {
    std::string broadcast;
    std::vector<std::size_t> writers;  // indices into DrawSink's impls
    std::vector<double> values;
  };
  std::vector<Sink> sinks;
  // Takes one draw's outputs by impl name into per-impl buffers.
  class DrawSink final : public OutputSink {
   public:
    std::vector<const std::string*> impls;
    std::vector<GraphData> values;
    std::vector<unsigned char> present;

    void reset() { std::fill(present.begin(), present.end(), 0); }
    int index_for(std::string_view impl_name) override {
      for (std::size_t i = 0; i < impls.size(); ++i) {
        if (same_name(*impls[i], impl_name)) return static_cast<int>(i);
      }
      return -1;
    }
    void put(int index, GraphData&& value) override {
      const auto i = static_cast<std::size_t>(index);
      values[i].assign(std::move(value));
      present[i] = 1;
    }
  } draw_sink;
  for (const auto& output : node.outputs) {
    const std::string& broadcast = output.second;
    auto sink = std::find_if(sinks.begin(), sinks.end(), [&](const Sink& s) { return s.broadcast == broadcast; });
    if (sink == sinks.end()) sink = sinks.insert(sinks.end(), Sink{broadcast, {}, {}});
    sink->writers.push_back(draw_sink.impls.size());
    draw_sink.impls.push_back(&output.first);
  }
  draw_sink.values.resize(draw_sink.impls.size());
  draw_sink.present.resize(draw_sink.impls.size(), 0);
  for (Sink& sink : sinks) sink.values.reserve(n);

  // Inputs are drawn a block at a time, each distribution filling its own
  // run of the block: the draws are as independent as one at a time, and
  // the sampling loops (and the reads of an Empirical's samples) run
  // without a node call between every two of them.
  constexpr std::size_t kBlock = 256;
  std::vector<double> block(slot_dists.size() * kBlock);
  for (std::size_t start = 0; start < n; start += kBlock) {
    const std::size_t length = std::min(kBlock, n - start);
    for (std::size_t s = 0; s < slot_dists.size(); ++s) {
      slot_dists[s]->sample_into(std::span<double>(block.data() + s * kBlock, length), rng);
    }
    for (std::size_t draw = 0; draw < length; ++draw) {
      for (const auto& [target, slot] : targets) target->assign(GraphData::from_float(block[slot * kBlock + draw]));
      draw_sink.reset();
      if (!node.function->call(named.data(), named.size(), draw_sink)) continue;
      for (Sink& sink : sinks) {
        const GraphData* value = nullptr;
        for (std::size_t writer : sink.writers) {
          if (draw_sink.present[writer]) value = &draw_sink.values[writer];
        }
        if (value == nullptr) continue;
        if (value->kind() == DataKind::kFloat) {
          sink.values.push_back(value->as_float());
        } else if (auto number = value->as_f64_lossy()) {
          sink.values.push_back(*number);
        }
      }
    }
  }

  DistMap outputs;
  for (Sink& sink : sinks) {
    if (!sink.values.empty()) outputs.insert_or_assign(sink.broadcast, Distribution::empirical(std::move(sink.values)));
  }
  return outputs;
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

// One column of particle values: which particle produced each value, in
// particle order. Values stay with the particles that produced them.
struct Column {
  std::vector<std::size_t> particle;
  std::vector<double> values;
  void push(std::size_t index, double value) {
    particle.push_back(index);
    values.push_back(value);
  }
};
using Columns = std::unordered_map<std::string, Column>;

// Appends one output value of particle `index` to the columns: numbers as
// they are, vectors as a length plus one value per element.
void collect_output(Columns& columns, const std::string& name, const GraphData& value, std::size_t index) {
  switch (value.kind()) {
    case DataKind::kFloatVec: {
      const auto& elements = value.as_float_vec();
      columns[veclen_key(name)].push(index, static_cast<double>(elements.size()));
      for (std::size_t j = 0; j < elements.size(); ++j) columns[element_key(name, j)].push(index, elements[j]);
      return;
    }
    case DataKind::kIntVec: {
      const auto& elements = value.as_int_vec();
      columns[veclen_key(name)].push(index, static_cast<double>(elements.size()));
      for (std::size_t j = 0; j < elements.size(); ++j) {
        columns[element_key(name, j)].push(index, static_cast<double>(elements[j]));
      }
      return;
    }
    case DataKind::kInt:
    case DataKind::kFloat:
    case DataKind::kPyObject:
      if (auto number = value.as_f64_lossy()) columns[name].push(index, *number);
      return;
    default:
      return;
  }
}

// A particle's length entry as a vector length: negative and NaN give 0,
// values beyond the range saturate.
std::size_t to_length(double value) {
  if (!(value > 0)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<std::size_t>::max())) {
    return std::numeric_limits<std::size_t>::max();
  }
  return static_cast<std::size_t>(value);
}

// The execution context of one particle for one node: each input as a Float,
// or a vector rebuilt from its length and element entries.
DataMap particle_context(const Node& node, const Particle& particle) {
  DataMap ctx;
  for (const auto& [broadcast, impl] : node.inputs) {
    std::string key = broadcast_to_lookup_key(broadcast);
    if (auto it = particle.find(key); it != particle.end()) {
      ctx.insert_or_assign(std::move(key), GraphData::from_float(it->second));
      continue;
    }
    auto len_it = particle.find(veclen_key(key));
    if (len_it == particle.end()) continue;
    const std::size_t length = to_length(len_it->second);
    std::vector<double> elements;
    try {
      elements.reserve(length);
    } catch (const std::length_error&) {
      throw PropagationError("vector length " + std::to_string(length) + " of '" + key + "' is too large");
    } catch (const std::bad_alloc&) {
      throw PropagationError("vector length " + std::to_string(length) + " of '" + key + "' is too large");
    }
    for (std::size_t j = 0; j < length; ++j) {
      auto element = particle.find(element_key(key, j));
      elements.push_back(element == particle.end() ? std::numeric_limits<double>::quiet_NaN() : element->second);
    }
    ctx.insert_or_assign(std::move(key), GraphData::from_float_vec(std::move(elements)));
  }
  return ctx;
}

// Runs one node on particle after particle. A particle whose inputs are all
// numbers (the common case) is handed to the node function without building
// maps: the input values are overwritten in place and the outputs are taken
// by impl name. A particle holding a vector input takes the general route
// through particle_context; both give what Node::execute gives.
class ParticleCaller {
 public:
  explicit ParticleCaller(const Node& node) : node_(node) {
    // The entries gather_inputs would read, in its order.
    for (const auto& [broadcast, impl] : node.inputs) {
      if (!context_key_for_input(broadcast)) continue;
      inputs_.push_back({broadcast_to_lookup_key(broadcast), &impl, GraphData::from_float(0.0)});
    }
    for (const auto& [impl, broadcast] : node.outputs) {
      std::size_t target = 0;
      while (target < broadcasts_.size() && *broadcasts_[target] != broadcast) ++target;
      if (target == broadcasts_.size()) broadcasts_.push_back(&broadcast);
      outputs_.push_back({&impl, target});
    }
    sink_.caller = this;
  }

  void run(const Particle& particle, std::size_t index, Columns& columns) {
    named_.clear();
    for (Input& input : inputs_) {
      auto it = particle.find(input.key);
      if (it == particle.end()) {
        if (particle.contains(veclen_key(input.key))) {
          run_general(particle, index, columns);
          return;
        }
        continue;
      }
      // When two inputs feed one impl name the first one present stays.
      if (std::any_of(named_.begin(), named_.end(), [&](const NamedValue& n) { return n.name == *input.impl; })) {
        continue;
      }
      input.value.assign(GraphData::from_float(it->second));
      named_.push_back({*input.impl, &input.value});
    }
    produced_.clear();
    if (!node_.function->call(named_.data(), named_.size(), sink_)) return;
    for (const auto& [target, value] : produced_) collect_output(columns, *broadcasts_[target], value, index);
  }

 private:
  struct Input {
    std::string key;  // the particle key it is read from
    const std::string* impl;
    GraphData value;
  };
  struct Output {
    const std::string* impl;
    std::size_t broadcast;  // index into broadcasts_
  };
  // Takes the outputs the node's table mentions, by their index in it.
  struct Sink final : OutputSink {
    ParticleCaller* caller = nullptr;
    int index_for(std::string_view impl_name) override {
      const auto& outputs = caller->outputs_;
      for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (same_name(*outputs[i].impl, impl_name)) return static_cast<int>(i);
      }
      return -1;
    }
    void put(int index, GraphData&& value) override {
      // Two impl names writing one broadcast name leave one value.
      const std::size_t target = caller->outputs_[static_cast<std::size_t>(index)].broadcast;
      auto& produced = caller->produced_;
      for (auto& [written, held] : produced) {
        if (written == target) {
          held = std::move(value);
          return;
        }
      }
      produced.emplace_back(target, std::move(value));
    }
  };

  void run_general(const Particle& particle, std::size_t index, Columns& columns) const {
    const NodeResult result = node_.execute(particle_context(node_, particle));
    for (const auto& [name, value] : result.outputs) collect_output(columns, name, value, index);
  }

  const Node& node_;
  std::vector<Input> inputs_;
  std::vector<Output> outputs_;
  std::vector<const std::string*> broadcasts_;  // distinct output broadcast names
  std::vector<NamedValue> named_;
  std::vector<std::pair<std::size_t, GraphData>> produced_;
  Sink sink_;
};

}  // namespace

std::string broadcast_to_lookup_key(const std::string& name) {
  const auto colon = name.find(':');
  if (colon == std::string::npos) return name;
  std::string key = "__branch_";
  key.append(name, 0, colon);
  key += "__";
  key.append(name, colon + 1, std::string::npos);
  return key;
}

StatResult Dag::predict_at(DistMap inputs, std::optional<std::size_t> n_samples,
                           const std::optional<PredictTarget>& target) const {
  std::unordered_set<NodeId> target_ids;
  if (target) target_ids = resolve_target_ids(nodes_, *target);
  std::unordered_set<NodeId> completed;
  StatResult result;
  Rng& rng = thread_rng();
  DistMap context = std::move(inputs);

  for (NodeId id : topological_order_) {
    const Node* node = find_node(id);
    if (node == nullptr) continue;
    const DistMap impl_dists = gather_impl_dists(*node, context);

    std::optional<DistMap> outputs;
    if (node->dist_transfer) {
      if (std::optional<DistMap> answer = (*node->dist_transfer)(impl_dists)) {
        outputs.emplace();
        for (const auto& [impl, broadcast] : node->outputs) {
          if (auto it = answer->find(impl); it != answer->end()) outputs->insert_or_assign(broadcast, it->second);
        }
      }
    }
    if (!outputs && any_random(impl_dists)) {
      if (!n_samples) throw PropagationError(kMissingSamplesError);
      outputs = monte_carlo(*node, context, *n_samples, rng);
    } else if (!outputs) {
      const NodeResult run = node->execute(build_mean_ctx(*node, context));
      outputs.emplace();
      for (const auto& [name, value] : run.outputs) {
        if (auto number = value.as_f64_lossy()) outputs->insert_or_assign(name, Distribution::deterministic(*number));
      }
    }
    record_outputs(result, context, *node, *outputs);

    if (target_ids.contains(id)) {
      completed.insert(id);
      if (completed.size() == target_ids.size()) break;
    }
  }
  result.vars = std::move(context);
  return result;
}

StatResult Dag::predict(const DistMap& inputs, std::size_t n_samples) const {
  Rng& rng = thread_rng();
  std::vector<Particle> particles(n_samples);
  DistMap context;
  // Each input is drawn independently, one value per particle; its marginal
  // is the empirical distribution of those draws.
  for (const auto& [name, dist] : inputs) {
    // Without particles nothing is drawn, so nothing can fail to draw.
    std::vector<double> draws = n_samples == 0 ? std::vector<double>{} : dist.sample_n_with_rng(n_samples, rng);
    for (std::size_t i = 0; i < n_samples; ++i) particles[i].insert_or_assign(name, draws[i]);
    context.insert_or_assign(name, Distribution::empirical(std::move(draws)));
  }
  StatResult result;

  for (NodeId id : topological_order_) {
    const Node* node = find_node(id);
    if (node == nullptr) continue;
    Columns columns;
    if (any_random(gather_impl_dists(*node, context))) {
      ParticleCaller caller(*node);
      for (std::size_t i = 0; i < n_samples; ++i) caller.run(particles[i], i, columns);
    } else {
      const NodeResult run = node->execute(build_mean_ctx(*node, context));
      Columns single;
      for (const auto& [name, value] : run.outputs) collect_output(single, name, value, 0);
      for (auto& [name, column] : single) {
        Column& filled = columns[name];
        filled.particle.resize(n_samples);
        for (std::size_t i = 0; i < n_samples; ++i) filled.particle[i] = i;
        filled.values.assign(n_samples, column.values.front());
      }
    }

    // A vector output X is also reported under X itself, with the
    // distribution of its first element.
    std::vector<std::pair<std::string, std::vector<double>>> vector_bases;
    for (const auto& [key, column] : columns) {
      if (!key.starts_with(kVecLenPrefix)) continue;
      std::string base = key.substr(kVecLenPrefix.size());
      if (auto first = columns.find(element_key(base, 0)); first != columns.end()) {
        vector_bases.emplace_back(std::move(base), first->second.values);
      }
    }

    DistMap outputs;
    for (auto& [key, column] : columns) {
      // Branch copies write only their qualified keys into the particles, so
      // a main-line reader of the plain name never sees a branch value.
      const std::string particle_key = node->branch_id ? branch_key(*node->branch_id, key) : key;
      for (std::size_t k = 0; k < column.values.size(); ++k) {
        particles[column.particle[k]].insert_or_assign(particle_key, column.values[k]);
      }
      outputs.insert_or_assign(key, Distribution::empirical(std::move(column.values)));
    }
    record_outputs(result, context, *node, outputs);
    for (auto& [base, values] : vector_bases) {
      const std::string key = node->branch_id ? branch_key(*node->branch_id, base) : base;
      context.try_emplace(key, Distribution::empirical(std::move(values)));
    }
  }
  result.vars = std::move(context);
  result.particles = std::move(particles);
  return result;
}

}  // namespace quillon
