// What a Graph, Dag or MemoryCache object reports to the cycle collector.
//
// The collector asks every container object to visit the references it owns
// and subtracts one from an object's count per visit; what is left over is
// referenced from outside. Visiting a reference the container does not own,
// or one reference from two containers, makes the collector free objects
// that are still in use; leaving a reference out only keeps its object (and
// any cycle through it) alive. Our containers hold Python objects through
// shared engine objects:
// - a node function or a dist transfer owns one reference to its callable,
//   and is shared through a shared_ptr by every node that runs it, a
//   builder's label settings, the graph object's callable table, and runs;
// - a stored value (a PyObjectRef owner) owns one reference, and is shared
//   by every copy of the value;
// - a cache backend holds stored values and is shared by the MemoryCache
//   object, the graphs and DAGs it was attached to, and runs.
//
// The invariant. A container visits the reference of a shared engine object
// only when every owner of that object is inside the container: its use
// count equals the number of times the container holds it. That reference
// then lives exactly as long as the container's engine state, nobody else
// can report it, and the container reports it once however often it holds
// it. Values are visited only where their owner has a single holder, the
// stored copy itself, inside a backend that the container alone holds.
// Anything shared beyond the container is left out: a cycle through it is
// collected once the other holders are gone.
//
// Counting is only sound while no other thread can copy or drop a holding.
// Runs, the only code that does so without the interpreter lock, and every
// method hold a borrow on their container for their whole duration; a
// borrowed container visits nothing and clears nothing (its borrow keeps it
// alive anyway). With no borrow, nothing changes between the traversals of
// one collection, so they all visit the same references.
// Requires: the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "cache/memory_backend.hpp"
#include "cache/records.hpp"
#include "graph_data.hpp"
#include "node.hpp"

namespace quillon::py {

class HeldReferences {
 public:
  HeldReferences() noexcept;
  ~HeldReferences();
  HeldReferences(const HeldReferences&) = delete;
  HeldReferences& operator=(const HeldReferences&) = delete;

  // Each call records one holding; empty pointers are skipped. Throws
  // std::bad_alloc.
  void operator()(const Node& node);
  void operator()(const NodeFunction& function);
  void operator()(const DistTransfer& transfer);
  void operator()(const DataMap& values);
  void operator()(const CacheBackendPtr& backend);
  void operator()(const std::shared_ptr<MemoryCacheBackend>& backend);

  // Visits, once each, the references that the recorded holdings own alone
  // (see above). Returns what the first visit that did not return 0
  // returned, or 0.
  int visit(visitproc visit, void* arg) noexcept;

  enum class Kind : std::uint8_t { kFunction, kTransfer, kBackend, kValue };
  struct Holding {
    Kind kind;
    const void* object;  // the shared engine object; for values, the PyObject
    long uses;           // its use count
  };

 private:
  void add(Kind kind, const void* object, long uses);

  std::vector<Holding>* holdings_;
  bool shared_scratch_;  // whether holdings_ is the reused buffer
  std::vector<Holding> own_;
};

// Records a container's holdings with `collect(held)` and visits what they
// own alone. When recording fails (out of memory), nothing is visited.
// Because the shared buffer only grows, a traversal that succeeded once
// succeeds again for the same holdings: the traversals of one collection
// never visit less than an earlier one did.
template <typename Collect>
int visit_held_references(Collect&& collect, visitproc visit, void* arg) noexcept {
  HeldReferences held;
  try {
    collect(held);
  } catch (...) {
    return 0;
  }
  return held.visit(visit, arg);
}

}  // namespace quillon::py
