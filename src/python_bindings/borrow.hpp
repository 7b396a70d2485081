// Per-object access control for the Python classes.
//
// Each instance carries a BorrowFlag that admits either any number of shared
// borrows or one exclusive borrow. A conflicting request raises RuntimeError:
// "Already borrowed" for an exclusive request while any borrow is active,
// "Already mutably borrowed" for a shared request during an exclusive one.
// The guards also hold a strong reference to the object, so a borrow keeps
// its object alive (a run that released the interpreter lock included).
// Requires: the interpreter lock is held whenever a flag or guard is touched;
// the lock serialises all access, so the counter needs no atomics.
#pragma once

#include <Python.h>

#include <utility>

#include "python_bindings/errors.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

class BorrowFlag {
 public:
  bool try_shared() noexcept {
    if (state_ < 0) return false;
    ++state_;
    return true;
  }
  bool try_exclusive() noexcept {
    if (state_ != 0) return false;
    state_ = -1;
    return true;
  }
  void release_shared() noexcept { --state_; }
  void release_exclusive() noexcept { state_ = 0; }
  // Whether any borrow, shared or exclusive, is active.
  bool active() const noexcept { return state_ != 0; }

 private:
  int state_ = 0;  // > 0: number of shared borrows; -1: exclusively borrowed
};

inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";

class SharedBorrow {
 public:
  SharedBorrow() noexcept = default;
  // Throws PythonError (RuntimeError "Already mutably borrowed") on conflict.
  SharedBorrow(PyObject* owner, BorrowFlag& flag) {
    if (!flag.try_shared()) raise(PyExc_RuntimeError, kAlreadyMutablyBorrowed);
    owner_ = PyRef::borrow(owner);
    flag_ = &flag;
  }
  SharedBorrow(SharedBorrow&& other) noexcept
      : owner_(std::move(other.owner_)), flag_(std::exchange(other.flag_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&& other) noexcept {
    if (this != &other) {
      reset();
      owner_ = std::move(other.owner_);
      flag_ = std::exchange(other.flag_, nullptr);
    }
    return *this;
  }
  ~SharedBorrow() { reset(); }

 private:
  void reset() noexcept {
    if (flag_ != nullptr) flag_->release_shared();
    flag_ = nullptr;
    owner_ = PyRef();  // the flag lives in the owner: release the flag first
  }
  PyRef owner_;
  BorrowFlag* flag_ = nullptr;
};

class ExclusiveBorrow {
 public:
  // Throws PythonError (RuntimeError "Already borrowed") on conflict.
  ExclusiveBorrow(PyObject* owner, BorrowFlag& flag) {
    if (!flag.try_exclusive()) raise(PyExc_RuntimeError, kAlreadyBorrowed);
    owner_ = PyRef::borrow(owner);
    flag_ = &flag;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    flag_->release_exclusive();
    owner_ = PyRef();
  }

 private:
  PyRef owner_;
  BorrowFlag* flag_ = nullptr;
};

// The body of a method of a class whose objects (`Object`) carry a `state`
// with a BorrowFlag `borrow`: runs `body(state)` under shared, or exclusive,
// access to `self`, through call_guarded, and returns what it returns (an
// object, or an int for setters). A conflicting borrow raises before the
// body runs.
template <typename Object, typename Body>
auto with_shared_access(PyObject* self, Body&& body) {
  return call_guarded([&]() -> decltype(auto) {
    auto& state = reinterpret_cast<Object*>(self)->state;
    SharedBorrow borrow(self, state.borrow);
    return body(state);
  });
}

template <typename Object, typename Body>
auto with_exclusive_access(PyObject* self, Body&& body) {
  return call_guarded([&]() -> decltype(auto) {
    auto& state = reinterpret_cast<Object*>(self)->state;
    ExclusiveBorrow borrow(self, state.borrow);
    return body(state);
  });
}

}  // namespace quillon::py
