// Samples: a run of doubles shared by whoever holds it, read-only once
// shared.
//
// Samples are made from a vector they then own (the usual case), or lent: a
// view of memory that an owner object keeps alive, such as an array of the
// embedding's language, so that values arriving from outside need no copy.
// They are held through SampleVector, a shared pointer to const; the one
// holder of samples made from a vector may still change that vector
// (own_values()). Reads from any number of threads are safe.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace quillon {

class Samples {
 public:
  Samples() = default;
  explicit Samples(std::vector<double> values) noexcept : own_(std::move(values)) {}
  // A view of `lent`, which `owner` keeps alive and unchanged.
  Samples(std::shared_ptr<const void> owner, std::span<const double> lent) noexcept
      : owner_(std::move(owner)), lent_(lent) {}
  Samples(const Samples&) = delete;
  Samples& operator=(const Samples&) = delete;

  const double* data() const noexcept { return owner_ ? lent_.data() : own_.data(); }
  std::size_t size() const noexcept { return owner_ ? lent_.size() : own_.size(); }
  bool empty() const noexcept { return size() == 0; }
  const double* begin() const noexcept { return data(); }
  const double* end() const noexcept { return data() + size(); }
  double operator[](std::size_t index) const noexcept { return data()[index]; }
  std::span<const double> span() const noexcept { return {data(), size()}; }
  double front() const noexcept { return data()[0]; }
  double back() const noexcept { return data()[size() - 1]; }

  // Element by element, as vectors compare.
  friend bool operator==(const Samples& a, std::span<const double> b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }
  friend bool operator==(const Samples& a, const std::vector<double>& b) noexcept {
    return a == std::span<const double>(b);
  }

  // Whether the values are the samples' own vector rather than lent.
  bool owns() const noexcept { return !owner_; }
  // The own vector, for the one holder allowed to change it. Requires: owns().
  std::vector<double>& own_values() noexcept { return own_; }

 private:
  std::vector<double> own_;
  std::shared_ptr<const void> owner_;  // set when lent
  std::span<const double> lent_;
};

using SampleVector = std::shared_ptr<const Samples>;

inline SampleVector make_samples(std::vector<double> values) {
  return std::make_shared<const Samples>(std::move(values));
}

}  // namespace quillon
