// The object codec of the Python layer: opaque values are stored as pickles.
//
// Objects are pickled with protocol 5; buffers that offer themselves out of
// band (numpy arrays, bytearrays wrapped in PickleBuffer) are written after
// the pickle stream, each aligned to 16 bytes, so a large array is copied
// once into the encoding and, when read back, becomes an array over the
// decoded bytes without another copy. Reading back runs the unpickler, so
// only bytes this process or a trusted one wrote may be handed to decode.
//
// Both directions may be called from any thread, with or without the
// interpreter lock (they take it themselves). Failures of the object's own
// pickling or unpickling are answers (nullopt, the error cleared); an
// exception that is not an Exception (KeyboardInterrupt, SystemExit, ...)
// stops the run: it is thrown as RunInterrupted.
#pragma once

#include <memory>

#include "cache/value_codec.hpp"

namespace quillon::py {

// The codec; stateless, shareable by any number of backends. Needs no lock
// to create: the pickle module is imported on first use.
std::shared_ptr<const ObjectCodec> create_pickle_codec();

}  // namespace quillon::py
