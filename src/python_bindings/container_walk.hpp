// Walking the items of a Python sequence or the entries of a dict while the
// visitor may run Python code.
//
// Reading or converting an item can run user code (__float__, __index__,
// __len__, __iter__, the __del__ of whatever a failed conversion drops, a
// garbage collection that an allocation starts), and that code can change,
// empty or free the very container being walked. Every walk over a user
// container in this layer goes through SequenceItems (for_each_item) or
// for_each_entry, which promise:
//
//   - The visitor sees a snapshot: the items (entries) the container held
//     when the walk started, in order, however the container changes while
//     the walk runs. Lists, tuples and dicts are read from their own storage,
//     subclasses included (their overridden methods are not consulted), except
//     that the indexed reading of a sequence reads subclasses, like every
//     other sequence, through their own indexing.
//   - Every pointer handed to the visitor is valid for the whole visit: the
//     walk holds a strong reference to it (or to a container that nothing
//     else can change).
//   - Nothing is read past the end of anything, and nothing freed is read.
//
// Items that are exact float, int, str, bool or None run no Python code
// whatever is done with them, so while the walk meets only such items it
// reads them straight from the container's storage, without taking
// references: nothing can change the container in the meantime. The first
// item (or entry with a key or value) of any other type makes the walk copy
// the container's items (a dict's remaining entries), each with a strong
// reference, before that item is visited; since no code has run until then,
// the copy is the snapshot. Node outputs and lists of numbers, the hot paths,
// so cost no copy and no reference counting.
//
// A visitor returns true to go on and false to stop; it may throw, which
// ends the walk (the snapshot's references are released on the way out).
// Requires: the interpreter lock; a visitor must run no Python code while it
// handles an item of the kinds above (reading or converting them does not).
#pragma once

#include <Python.h>

#include <utility>
#include <vector>

#include "python_bindings/py_ref.hpp"

namespace quillon::py {

enum class WalkResult {
  kCompleted,   // every item was visited
  kStopped,     // the visitor returned false
  kReadFailed,  // reading the container raised; the Python error is pending
};

// How for_each_item reads a sequence.
enum class SequenceReading {
  // Any iterable: lists and tuples (subclasses included) from their storage,
  // anything else through one pass of iteration into a private list before
  // the first visit (a TypeError "expected a sequence" when it cannot be
  // iterated).
  kIterate,
  // The sequence protocol: exact lists and tuples from their storage,
  // anything else through len() once and then seq[i] for each index in turn,
  // each item a new reference; an index the sequence refuses ends the walk
  // as a read failure. Such a sequence answers for its own items, which are
  // not copied up front.
  kIndex,
};

namespace walk_detail {

// Types whose reading, conversion and release run no Python code.
inline bool runs_no_code(PyObject* object) noexcept {
  return PyFloat_CheckExact(object) || PyLong_CheckExact(object) || PyUnicode_CheckExact(object) ||
         PyBool_Check(object) || object == Py_None;
}

}  // namespace walk_detail

// The items of one sequence, for one or more walks that all visit the same
// items: those the sequence held when the first walk began (a sequence read
// by index other than an exact list or tuple answers anew each time). Lives
// on the stack of one call; holds the sequence while it lives.
// Requires: between two walks the caller runs no code that could change the
// sequence (a list of plain values is read from storage again).
class SequenceItems {
 public:
  explicit SequenceItems(PyObject* sequence, SequenceReading reading = SequenceReading::kIterate) noexcept
      : sequence_(PyRef::borrow(sequence)) {
    const bool storage = reading == SequenceReading::kIterate;
    if (PyList_CheckExact(sequence) || (storage && PyList_Check(sequence))) {
      source_ = Source::kList;
    } else if (PyTuple_CheckExact(sequence) || (storage && PyTuple_Check(sequence))) {
      source_ = Source::kTuple;
    } else {
      source_ = storage ? Source::kIterable : Source::kIndexed;
    }
  }
  SequenceItems(const SequenceItems&) = delete;
  SequenceItems& operator=(const SequenceItems&) = delete;

  // Calls visit(PyObject* item) -> bool for each item; see the top of this
  // header. Returns how the walk ended.
  template <typename Visit>
  WalkResult for_each(Visit&& visit) {
    switch (source_) {
      case Source::kIterable: {
        // A new list that only this walk knows of; iterating may run code,
        // and the items it yields are the snapshot.
        PyRef fast = PyRef::steal(PySequence_Fast(sequence_.get(), "expected a sequence"));
        if (!fast) return WalkResult::kReadFailed;
        sequence_ = std::move(fast);
        source_ = Source::kList;
        return walk_list(visit);
      }
      case Source::kList:
        return walk_list(visit);
      case Source::kHeld:
        return walk_held(0, visit);
      case Source::kTuple: {
        // A tuple cannot change, and the tuple is held: so are its items.
        PyObject* tuple = sequence_.get();
        const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
        for (Py_ssize_t i = 0; i < size; ++i) {
          if (!visit(PyTuple_GET_ITEM(tuple, i))) return WalkResult::kStopped;
        }
        return WalkResult::kCompleted;
      }
      case Source::kIndexed:
        break;
    }
    const Py_ssize_t size = PySequence_Size(sequence_.get());
    if (size < 0) return WalkResult::kReadFailed;
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyRef item = PyRef::steal(PySequence_GetItem(sequence_.get(), i));
      if (!item) return WalkResult::kReadFailed;
      if (!visit(item.get())) return WalkResult::kStopped;
    }
    return WalkResult::kCompleted;
  }

  // Room to reserve for the items: the size of a list or tuple, read without
  // running code; 0 for other sequences.
  Py_ssize_t size_hint() const noexcept {
    switch (source_) {
      case Source::kList: return PyList_GET_SIZE(sequence_.get());
      case Source::kTuple: return PyTuple_GET_SIZE(sequence_.get());
      case Source::kHeld: return static_cast<Py_ssize_t>(held_.size());
      default: return 0;
    }
  }

 private:
  enum class Source {
    kList,      // a list read from storage; no item copied yet
    kHeld,      // held_ is the snapshot
    kTuple,     // a tuple (or subclass) read from storage
    kIterable,  // to be iterated into a private list by the first walk
    kIndexed,   // read through len() and seq[i] by every walk
  };

  // Reads the list's storage until an item of a type that may run code;
  // there, before anything has run, every item the list holds is copied into
  // held_, which this walk and all later ones visit from then on.
  template <typename Visit>
  WalkResult walk_list(Visit& visit) {
    PyObject* list = sequence_.get();
    // No code runs while the storage is read, so the size stays what it is;
    // re-reading it costs nothing and keeps every read inside the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      PyObject* item = PyList_GET_ITEM(list, i);  // borrowed; see runs_no_code
      if (walk_detail::runs_no_code(item)) {
        if (!visit(item)) return WalkResult::kStopped;
        continue;
      }
      const Py_ssize_t size = PyList_GET_SIZE(list);
      held_.reserve(static_cast<std::size_t>(size));
      for (Py_ssize_t k = 0; k < size; ++k) held_.push_back(PyRef::borrow(PyList_GET_ITEM(list, k)));
      source_ = Source::kHeld;
      return walk_held(i, visit);
    }
    return WalkResult::kCompleted;
  }

  template <typename Visit>
  WalkResult walk_held(std::size_t from, Visit& visit) {
    // held_ does not change during a walk; its items cannot go away.
    for (std::size_t i = from; i < held_.size(); ++i) {
      if (!visit(held_[i].get())) return WalkResult::kStopped;
    }
    return WalkResult::kCompleted;
  }

  PyRef sequence_;
  Source source_ = Source::kIndexed;
  std::vector<PyRef> held_;
};

// Calls visit(PyObject* item) -> bool for each item of `sequence` (not
// checked to be one; a str is walked as a sequence of one-character strings),
// once, as described above. Returns how the walk ended.
template <typename Visit>
WalkResult for_each_item(PyObject* sequence, Visit&& visit, SequenceReading reading = SequenceReading::kIterate) {
  SequenceItems items(sequence, reading);
  return items.for_each(visit);
}

// Calls visit(PyObject* key, PyObject* value) -> bool for each entry of
// `dict` (a dict or subclass), in dict order, once, as described above.
// Never fails to read: the result is kCompleted or kStopped.
template <typename Visit>
WalkResult for_each_entry(PyObject* dict, Visit&& visit) {
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  // Counting the entries spares the last, empty step of PyDict_Next; the
  // count cannot change while only entries that run no code are visited.
  for (Py_ssize_t seen = 0; seen < PyDict_GET_SIZE(dict) && PyDict_Next(dict, &pos, &key, &value); ++seen) {
    if (walk_detail::runs_no_code(key) && walk_detail::runs_no_code(value)) {
      if (!visit(key, value)) return WalkResult::kStopped;
      continue;
    }
    // The current entry and those after it, held; PyDict_Next runs no code.
    std::vector<std::pair<PyRef, PyRef>> rest;
    rest.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict) - seen));
    do {
      rest.emplace_back(PyRef::borrow(key), PyRef::borrow(value));
    } while (PyDict_Next(dict, &pos, &key, &value));
    for (const auto& [held_key, held_value] : rest) {
      if (!visit(held_key.get(), held_value.get())) return WalkResult::kStopped;
    }
    return WalkResult::kCompleted;
  }
  return WalkResult::kCompleted;
}

// The number of items a list, tuple or dict holds, read without running
// code; 0 for anything else. For reserving room before a walk.
inline Py_ssize_t stored_size(PyObject* container) noexcept {
  if (PyList_Check(container)) return PyList_GET_SIZE(container);
  if (PyTuple_Check(container)) return PyTuple_GET_SIZE(container);
  if (PyDict_Check(container)) return PyDict_GET_SIZE(container);
  return 0;
}

}  // namespace quillon::py
