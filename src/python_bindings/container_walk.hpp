// Walking the items of a Python sequence or the entries of a dict while the
// visitor may run Python code.
//
// Reading or converting an item can run user code (__float__, __index__,
// __len__, __iter__, the __del__ of whatever a failed conversion drops, a
// garbage collection that an allocation starts), and that code can change,
// empty or free the very container being walked. Every walk over a user
// container in this layer goes through for_each_item or for_each_entry, which
// promise:
//
//   - The visitor sees a snapshot: the items (entries) the container held
//     when the walk started, in order, however the container changes while
//     the walk runs. Lists, tuples and dicts are read from their own storage,
//     subclasses included (their overridden methods are not consulted), except
//     that the indexed reading of for_each_item reads subclasses, like every
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
// the items not yet visited, each with a strong reference, before it is
// visited; since no code has run until then, that copy is the snapshot. Node
// outputs and lists of numbers, the hot paths, so cost no copy and no
// reference counting.
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

// Visits held items; they cannot go away while the vector lives.
template <typename Visit>
WalkResult visit_held(const std::vector<PyRef>& items, Visit& visit) {
  for (const PyRef& item : items) {
    if (!visit(item.get())) return WalkResult::kStopped;
  }
  return WalkResult::kCompleted;
}

// Visits the items of a list, reading from storage until an item of a type
// that may run code; from there on, a held copy of the items not yet visited.
template <typename Visit>
WalkResult walk_list(PyObject* list, Visit& visit) {
  // No code runs while the storage is read, so the size stays what it is;
  // re-reading it costs nothing and keeps every read inside the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);  // borrowed; see runs_no_code
    if (runs_no_code(item)) {
      if (!visit(item)) return WalkResult::kStopped;
      continue;
    }
    const Py_ssize_t size = PyList_GET_SIZE(list);
    std::vector<PyRef> rest;
    rest.reserve(static_cast<std::size_t>(size - i));
    for (Py_ssize_t k = i; k < size; ++k) rest.push_back(PyRef::borrow(PyList_GET_ITEM(list, k)));
    return visit_held(rest, visit);
  }
  return WalkResult::kCompleted;
}

// A tuple cannot change; holding it holds its items.
template <typename Visit>
WalkResult walk_tuple(PyObject* tuple, Visit& visit) {
  PyRef hold = PyRef::borrow(tuple);
  const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (!visit(PyTuple_GET_ITEM(tuple, i))) return WalkResult::kStopped;
  }
  return WalkResult::kCompleted;
}

}  // namespace walk_detail

// Calls visit(PyObject* item) -> bool for each item of `sequence` (not
// checked to be one; a str is walked as a sequence of one-character strings),
// as described above. Returns how the walk ended.
template <typename Visit>
WalkResult for_each_item(PyObject* sequence, Visit&& visit, SequenceReading reading = SequenceReading::kIterate) {
  const bool storage = reading == SequenceReading::kIterate;
  if (PyList_CheckExact(sequence) || (storage && PyList_Check(sequence))) {
    return walk_detail::walk_list(sequence, visit);
  }
  if (PyTuple_CheckExact(sequence) || (storage && PyTuple_Check(sequence))) {
    return walk_detail::walk_tuple(sequence, visit);
  }
  if (storage) {
    // A new list that only this walk knows of (iteration may run code; the
    // items it yields are the snapshot).
    PyRef snapshot = PyRef::steal(PySequence_Fast(sequence, "expected a sequence"));
    if (!snapshot) return WalkResult::kReadFailed;
    return walk_detail::walk_list(snapshot.get(), visit);
  }
  PyRef hold = PyRef::borrow(sequence);
  const Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) return WalkResult::kReadFailed;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(sequence, i));
    if (!item) return WalkResult::kReadFailed;
    if (!visit(item.get())) return WalkResult::kStopped;
  }
  return WalkResult::kCompleted;
}

// Calls visit(PyObject* key, PyObject* value) -> bool for each entry of
// `dict` (a dict or subclass), in dict order, as described above. Never
// fails to read: the result is kCompleted or kStopped.
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
