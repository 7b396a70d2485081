#include "python_bindings/held_references.hpp"

#include <algorithm>
#include <utility>

#include "distribution/dist_transfer.hpp"
#include "python_bindings/dist_transfer.hpp"
#include "python_bindings/node_function.hpp"

namespace quillon::py {

namespace {

// The buffer that holdings are recorded into, reused from traversal to
// traversal (the interpreter lock serialises them) so that collections do
// not allocate once it has grown; `busy` while one HeldReferences uses it.
struct Scratch {
  std::vector<HeldReferences::Holding> holdings;
  bool busy = false;
};

Scratch& scratch() {
  static Scratch* s = new Scratch;  // never destroyed: collections may run at exit
  return *s;
}

// Visits the Python object of every stored value whose owner has no holder
// but the stored copy.
struct StoredValueVisit {
  visitproc visit;
  void* arg;
  int result = 0;

  static void on_value(const GraphData& value, void* context) {
    auto& self = *static_cast<StoredValueVisit*>(context);
    if (self.result != 0 || value.kind() != DataKind::kPyObject) return;
    const PyObjectRef& ref = value.as_py_object();
    if (ref.get() == nullptr || ref.use_count() != 1) return;
    self.result = self.visit(static_cast<PyObject*>(ref.get()), self.arg);
  }
};

bool same_object(const HeldReferences::Holding& a, const HeldReferences::Holding& b) noexcept {
  return a.kind == b.kind && a.object == b.object;
}

}  // namespace

HeldReferences::HeldReferences() noexcept : holdings_(&own_), shared_scratch_(false) {
  Scratch& s = scratch();
  if (!s.busy) {
    s.busy = true;
    s.holdings.clear();
    holdings_ = &s.holdings;
    shared_scratch_ = true;
  }
}

HeldReferences::~HeldReferences() {
  if (shared_scratch_) scratch().busy = false;
}

void HeldReferences::add(Kind kind, const void* object, long uses) { holdings_->push_back({kind, object, uses}); }

void HeldReferences::operator()(const NodeFunction& function) {
  if (function) add(Kind::kFunction, function.get(), function.use_count());
}

void HeldReferences::operator()(const DistTransfer& transfer) {
  if (transfer) add(Kind::kTransfer, transfer.get(), transfer.use_count());
}

void HeldReferences::operator()(const DataMap& values) {
  for (const auto& [name, value] : values) {
    if (value.kind() != DataKind::kPyObject) continue;
    const PyObjectRef& ref = value.as_py_object();
    if (ref.get() != nullptr) add(Kind::kValue, ref.get(), ref.use_count());
  }
}

void HeldReferences::operator()(const CacheBackendPtr& backend) {
  if (backend) add(Kind::kBackend, backend.get(), backend.use_count());
}

void HeldReferences::operator()(const std::shared_ptr<MemoryCacheBackend>& backend) {
  if (backend) add(Kind::kBackend, static_cast<const CacheBackend*>(backend.get()), backend.use_count());
}

void HeldReferences::operator()(const Node& node) {
  (*this)(node.function);
  (*this)(node.dist_transfer);
  (*this)(node.variant_params);
}

int HeldReferences::visit(visitproc visit, void* arg) noexcept {
  std::vector<Holding>& holdings = *holdings_;
  // Equal objects next to each other; sorting moves entries in place.
  std::sort(holdings.begin(), holdings.end(), [](const Holding& a, const Holding& b) {
    if (a.kind != b.kind) return a.kind < b.kind;
    return std::less<const void*>()(a.object, b.object);
  });
  for (std::size_t begin = 0; begin < holdings.size();) {
    const Holding& first = holdings[begin];
    std::size_t end = begin + 1;
    // Every value holding stands for an owner of its own (values are not
    // grouped: two owners of one object each hold a reference).
    if (first.kind != Kind::kValue) {
      while (end < holdings.size() && same_object(holdings[end], first)) ++end;
    }
    const long held_here = static_cast<long>(end - begin);
    if (first.uses == held_here && first.kind == Kind::kBackend) {
      // Takes the backend's own lock, never held by a thread that waits for
      // the interpreter lock.
      StoredValueVisit values{visit, arg};
      const_cast<CacheBackend*>(static_cast<const CacheBackend*>(first.object))
          ->visit_stored_values(&StoredValueVisit::on_value, &values);
      if (values.result != 0) return values.result;
    } else if (first.uses == held_here) {
      PyObject* object = nullptr;
      switch (first.kind) {
        case Kind::kFunction:
          object = held_callable(*static_cast<const NodeCallable*>(first.object));
          break;
        case Kind::kTransfer:
          object = held_callable(*static_cast<const DistTransferFn*>(first.object));
          break;
        case Kind::kValue:
          object = static_cast<PyObject*>(const_cast<void*>(first.object));
          break;
        case Kind::kBackend:
          break;
      }
      Py_VISIT(object);
    }
    begin = end;
  }
  return 0;
}

}  // namespace quillon::py
