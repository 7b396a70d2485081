// Content digests of Python objects: how cache-key inputs without a canonical
// text are keyed when a graph keys by content, and how code versions take in
// constants, defaults and closure values.
//
// A digest is the BLAKE3 of a type-tagged encoding, built bottom-up: each
// value hashes its tag and payload, and a container hashes its children's
// digests, so values of different types never share an encoding ([1, 2],
// (1, 2) and {1: 2} differ, True differs from 1). Encodings, by the first
// rule that applies:
//   - None, bool, int, float (its bit pattern), str (UTF-8, lone surrogates
//     kept), bytes, and tuples, lists, dicts, sets and frozensets of such
//     values (exact types only; dicts and sets are ordered by their entries'
//     digests, so insertion order and string hashing do not matter);
//   - an object whose type defines __quillon_key__(): its type's qualified
//     name and the bytes or str the method returns;
//   - an object exporting a buffer (a numpy array of any dtype or layout):
//     its format, item size, shape and its elements in C order, hashed in
//     place (strided data row by row through a small scratch buffer, never
//     a full copy);
//   - a pandas DataFrame, Series or Index: pandas' own row hashes, plus the
//     index, the columns, the dtypes and the name;
//   - anything else: its pickle bytes (protocol 5).
// Containers nested deeper than kMaxNesting are digested by their pickle
// bytes, which copes with cycles. The digest is a pure function of the
// value: the same value gives the same digest in every process.
// Requires: the interpreter lock (except content_digest_hook, which takes it).
#pragma once

#include <Python.h>

#include <cstdint>

#include "cache/keys.hpp"

namespace quillon::py {

enum class DigestOutcome {
  kDigested,
  kCannot,   // the object has no digest (its pickling failed); no error is left
  kStopped,  // user code raised an exception that is not an Exception; it is pending
};

DigestOutcome content_digest(PyObject* object, ContentDigest& out);

// The engine's content_digest hook (graph_data.hpp): content_digest under
// the lock; a stop becomes RunInterrupted.
bool content_digest_hook(void* object, std::uint8_t* out);

}  // namespace quillon::py
