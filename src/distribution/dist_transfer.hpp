// DistTransferFn: an analytical transfer of distributions through a node.
//
// Given the distributions of a node's impl variables it returns the
// distributions of the node's outputs keyed by impl name, or nothing when it
// has no answer (the caller then samples the node instead). Nodes hold one
// through a shared pointer to const (DistTransfer); the wrapped function must
// tolerate concurrent calls from any thread and must not throw — a failure is
// reported as "no answer" — except RunInterrupted, which stops the run.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "distribution/distribution.hpp"

namespace quillon {

struct DistTransferFn {
  using Fn = std::function<std::optional<DistMap>(const DistMap& inputs)>;

  Fn fn;

  std::optional<DistMap> operator()(const DistMap& inputs) const { return fn ? fn(inputs) : std::nullopt; }
};

inline std::shared_ptr<const DistTransferFn> make_dist_transfer(DistTransferFn::Fn fn) {
  return std::make_shared<const DistTransferFn>(DistTransferFn{std::move(fn)});
}

}  // namespace quillon
