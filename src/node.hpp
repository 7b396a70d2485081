// Node: one executable step of a graph, and the node function it runs.
//
// A node pairs a shared node function with the renaming tables between the
// graph-wide broadcast variables and the function's own impl variables, plus
// its dependency list, branch/variant bookkeeping and per-node cache and
// uncertainty settings. The builder edits nodes; once a Dag exists they are
// read-only and may be read from several threads at once. Copying a node
// shares its function and dist transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "graph_data.hpp"
#include "qualified_name.hpp"
#include "samples.hpp"

namespace quillon {

using NameMap = std::unordered_map<std::string, std::string>;

// What a node function hands back: its outputs keyed by impl name, and
// whether the call failed (the callable raised, returned junk, or its inputs
// could not be prepared). A failed call carries no outputs and is never
// stored in a cache.
struct NodeOutput {
  DataMap values;
  bool failed = false;
};

// One input of a call: an impl name and its value, both owned by the caller
// for the duration of the call.
struct NamedValue {
  std::string_view name;
  const GraphData* value;
};

// Whether two names are the same text. Names are mostly a few bytes long,
// and comparing those in place beats a call to memcmp on the per-call path.
inline bool same_name(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  if (a.size() > 16) return a == b;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// Receives the outputs of one call by impl name. `index_for` says whether the
// caller wants an output (a non-negative index) or not (-1), so that unwanted
// outputs need not be converted; `put` hands over a wanted value. A later
// value for the same index replaces an earlier one.
class OutputSink {
 public:
  virtual int index_for(std::string_view impl_name) = 0;
  virtual void put(int index, GraphData&& value) = 0;

 protected:
  ~OutputSink() = default;
};

using NodeId = std::uint64_t;

// One input of a block call: an impl name and its value on every draw of
// the block, both owned by the caller for the duration of the call. When
// `owner` is set it owns the values, which then never change: a function
// may keep it to lend the values out beyond the call instead of copying.
struct BlockInput {
  std::string_view name;
  std::span<const double> values;
  std::shared_ptr<const void> owner;
};

// Receives the outputs of one block call by impl name, as OutputSink does
// for one call: a column with a value per draw of the block, or one number
// that holds for every draw. A later offer for an index replaces an earlier
// one.
class BlockSink {
 public:
  virtual int index_for(std::string_view impl_name) = 0;
  virtual void put_column(int index, SampleVector values) = 0;
  virtual void put_number(int index, double value) = 0;

 protected:
  ~BlockSink() = default;
};

// The node a call is made for. One function may serve several nodes, so a
// function learns from its call site which node to name when it reports a
// failure. With `report` false the caller keeps count of failures itself
// and the function writes nothing about them.
struct CallSite {
  NodeId id = 0;
  std::optional<std::string_view> label;  // absent for an unlabelled node
  bool report = true;
};

// "node 'Fit' (id 3)", or "node <unlabelled> (id 3)": how messages name the
// node of a call site.
std::string describe_node(const CallSite& site);

// A node function. Implementations must tolerate concurrent calls, including
// concurrent calls of one function object shared by several nodes, and
// report failure through the return value (or NodeOutput::failed) rather
// than by throwing. The one exception is a request to stop the whole run,
// which a function raises as RunInterrupted (run_control.hpp).
class NodeCallable {
 public:
  virtual ~NodeCallable() = default;

  // Calls the function once with `inputs` (no impl name twice) for the node
  // at `site` and offers its outputs to `sink`. False when the call failed;
  // the caller then discards whatever was offered.
  virtual bool call(const NamedValue* inputs, std::size_t count, OutputSink& sink, const CallSite& site) const = 0;

  // Calls the function once for a whole block of `length` draws: each input
  // a column of `length` values, each wanted output offered to `sink` as a
  // column of `length` numbers or as one number. Returns nothing when that
  // worked, otherwise why the block could not be taken this way (the call
  // raised, an output was not numeric or had the wrong length); the caller
  // then discards what was offered and makes the block's calls one draw at
  // a time. Reports nothing itself; throws RunInterrupted like call(). The
  // default takes no blocks.
  virtual std::optional<std::string> call_block(const BlockInput* inputs, std::size_t count, std::size_t length,
                                                BlockSink& sink, const CallSite& site) const;
};

using NodeFunction = std::shared_ptr<const NodeCallable>;

// The one-line reason of the last failed node call on this thread, for
// reports that name it. A node function that can tell why a call failed
// notes it; the run that wants it takes it right after the call (and clears
// it before). Costs nothing on calls that succeed.
void note_call_failure(std::string text) noexcept;
std::optional<std::string> take_call_failure() noexcept;


// A node function written as a C++ callable over maps.
using NodeFn = std::function<NodeOutput(const DataMap& inputs)>;
NodeFunction make_node_function(NodeFn fn);

// Analytical transfer of distributions through a node; defined by the
// uncertainty layer. Nodes only carry it.
struct DistTransferFn;
using DistTransfer = std::shared_ptr<const DistTransferFn>;

// Outputs of one execution keyed by broadcast name, with the failure flag of
// the call that produced them.
struct NodeResult {
  DataMap outputs;
  bool failed = false;
};

std::string default_cache_version(NodeId id);

struct Node {
  NodeId id = 0;
  std::optional<std::string> label;
  NodeFunction function;
  NameMap inputs;   // broadcast name -> impl name
  NameMap outputs;  // impl name -> broadcast name
  std::vector<NodeId> dependencies;
  std::optional<std::uint64_t> branch_id;
  std::optional<std::uint64_t> variant_index;
  bool is_branch = false;
  DataMap variant_params;
  std::string cache_version;
  bool version_set = false;
  bool cacheable = true;
  std::optional<std::vector<std::string>> cache_key_vars;
  // Whether cache-key inputs without a canonical text enter the key as a
  // digest of their content instead of making the node uncacheable.
  bool content_keys = false;
  DistTransfer dist_transfer;  // null when absent
  // Whether Monte Carlo and particle propagation call the function once per
  // block of draws (NodeCallable::call_block) rather than once per draw.
  bool vectorized = false;

  static Node create(NodeId id, NodeFunction function, std::string cache_version,
                     std::optional<std::string> label, NameMap inputs, NameMap outputs);

  // The map-based C++ API; each call plans the node on its own (call_plan.hpp),
  // as a Dag plans every node once.
  // Input map (impl name -> value) read from an execution context. Missing
  // variables and names that cannot be gathered contribute nothing.
  DataMap gather_inputs(const DataMap& context) const;

  // Calls the function once and maps its outputs to broadcast names. Entries
  // the outputs table does not mention are dropped.
  NodeResult execute_with_inputs(const DataMap& inputs) const;

  // gather_inputs, then execute_with_inputs.
  NodeResult execute(const DataMap& context) const;

  // The part of an input map that enters the cache key.
  DataMap cache_key_inputs(const DataMap& inputs) const;
};

}  // namespace quillon
