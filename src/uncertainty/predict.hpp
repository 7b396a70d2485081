// Uncertainty propagation through a Dag.
//
// predict_at pushes input distributions through the nodes one at a time:
// a node's analytical dist transfer when it answers, one evaluation at the
// means when every input is a point mass, Monte Carlo otherwise. Marginals
// survive, joint structure does not. It can stop once a chosen set of nodes
// has been processed.
//
// predict runs whole trajectories (particles): each particle draws every
// input once and every node is evaluated on that particle's own values, so
// all variables of one particle belong together. Vector outputs travel inside
// particles as a length key plus one key per element.
//
// Both are free functions over a built Dag and call its nodes through the
// Dag's call plan. Both run entirely on the calling thread with its own
// generator, only read the Dag, and report their few errors as
// PropagationError (or the DistributionError of an unsampleable Uniform).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "dag/dag.hpp"
#include "defaults.hpp"
#include "dispatch.hpp"
#include "distribution/distribution.hpp"
#include "run_control.hpp"
#include "stat_result/stat_result.hpp"

namespace quillon {

class PropagationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr char kMissingSamplesError[] =
    "n_samples is required for nodes without an analytical dist_transfer. Pass n_samples=N to predict_at(), or add a "
    "dist_transfer to every node.";

// Where predict_at may stop: after every node with this label, branch id or
// variant index has been processed.
struct PredictTarget {
  struct Node {
    std::string label;
  };
  struct Branch {
    std::uint64_t id;
  };
  struct Variant {
    std::uint64_t index;
  };
  std::variant<Node, Branch, Variant> selector;
};

// Node by node: a node's analytical dist transfer when it answers, one
// evaluation at the means when every input is a point mass, Monte Carlo
// with n_samples draws otherwise (PropagationError without n_samples).
// Stops once every node that `target` selects has been processed.
//
// Both poll `control` (when given) between node calls and between blocks of
// draws, and stop with RunInterrupted when it, a node function or a dist
// transfer asks. A node's first kReportedFailures failed calls are reported
// by the function in full; the others only count, and a node that failed
// more often is summed up in one notice to `control` when the call ends.
inline constexpr std::size_t kReportedFailures = 3;

//
// With a `seed`, every draw comes from the seed's sub-streams (random.hpp),
// so equal seeds give bit-identical results; without one, from the calling
// thread's entropy-seeded generator.
//
// `progress` (when given) hears how far the call has come. predict_at
// counts nodes: (nodes processed, nodes in the topological order), told
// after each node. predict counts particle steps: (particles through the
// nodes so far, nodes x n_samples), told between blocks of particles. Both
// end with (total, total), also when a target ends predict_at early.
//
// A vectorised node (Node::vectorized) is called once per block of at most
// `block_size` draws (default_block_size of its columns when absent) with a
// column per input. A block it does not take (NodeCallable::call_block says
// why) is evaluated one draw at a time instead, and the first such refusal
// of each node is passed to `control` as a warning; the results are those
// of a node never marked. In predict, particles lacking one of the node's
// inputs, and every particle of a node that reads a vector, are evaluated
// one at a time. A block size changes neither the draws nor the results.
//
// With a `dispatcher`, the calls of nodes that are not vectorised (Monte
// Carlo draws in predict_at, particles in predict) go to its workers in
// tasks of `chunk_size` calls (default_chunk_size when absent); the draws
// are still made here, and outcomes are taken in draw order, so the result
// is the one a run without a dispatcher gives, for any chunk size and any
// number of workers. Vectorised nodes, dist transfers and single calls at
// the means stay on this thread.
StatResult predict_at(const Dag& dag, DistMap inputs, std::optional<std::size_t> n_samples,
                      const std::optional<PredictTarget>& target = std::nullopt, RunControl* control = nullptr,
                      std::optional<std::uint64_t> seed = std::nullopt,
                      std::optional<std::size_t> block_size = std::nullopt, ProgressSink* progress = nullptr,
                      CallDispatcher* dispatcher = nullptr, std::optional<std::size_t> chunk_size = std::nullopt);

// Whole trajectories: n_samples particles, each drawing every input once.
StatResult predict(const Dag& dag, const DistMap& inputs, std::size_t n_samples = kDefaultParticles,
                   RunControl* control = nullptr, std::optional<std::uint64_t> seed = std::nullopt,
                   std::optional<std::size_t> block_size = std::nullopt, ProgressSink* progress = nullptr,
                   CallDispatcher* dispatcher = nullptr, std::optional<std::size_t> chunk_size = std::nullopt);

}  // namespace quillon
