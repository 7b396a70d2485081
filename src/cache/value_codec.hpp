// The byte form of stored outputs, for backends that keep entries outside
// the process (the disk backend).
//
// encode_outputs turns an output map into one self-describing byte string:
// a format tag and version, then every value in a binary encoding of the
// engine's value kinds (numbers, text, number vectors, nested maps, None).
// Opaque PyObject values go through an ObjectCodec that the embedding
// supplies (the engine cannot look inside them). decode_outputs reads such a
// string back into an equal map, or reports it unreadable: any string at all
// may be handed to it (a truncated or damaged file, a newer format), and it
// never reads out of bounds, never recurses without limit and never returns
// part of a map.
//
// Maps may nest up to 64 maps deep below the outputs; deeper ones do not
// encode, and bytes that claim deeper nesting do not decode.
//
// Free functions; thread-safe as far as the codec is. Whatever the codec
// throws (RunInterrupted, when the object's own code asked to stop the run)
// passes through both unchanged; apart from that only encode_outputs throws,
// std::bad_alloc when memory runs out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "graph_data.hpp"

namespace quillon {

// Encodes opaque objects to bytes and back. Supplied by the embedding (the
// Python layer pickles); both may be called from any thread, without the
// interpreter lock, and take whatever they need themselves.
class ObjectCodec {
 public:
  virtual ~ObjectCodec() = default;

  // The bytes of `object`; nullopt when it cannot be encoded, with the reason
  // in `problem` ("cannot pickle '_thread.lock' object").
  virtual std::optional<std::string> encode(const PyObjectRef& object, std::string& problem) const = 0;

  // The object back from bytes made by encode; nullopt when they do not
  // decode (damaged, or refused: see DiskCacheBackend's trust rule).
  virtual std::optional<PyObjectRef> decode(std::string_view bytes) const = 0;
};

// The byte form of `outputs`; nullopt when a value cannot be encoded (an
// opaque value without a codec, one the codec refuses, maps nested too
// deep), with `problem` set to "output 'NAME': REASON" (NAME the top-level
// output the value sits in).
std::optional<std::string> encode_outputs(const DataMap& outputs, const ObjectCodec* codec, std::string& problem);

// The map back; nullopt when `bytes` is not a whole, well-formed encoding of
// a version this build reads, or when an opaque value does not decode.
std::optional<DataMap> decode_outputs(std::string_view bytes, const ObjectCodec* codec);

// Buffers for encodings of many megabytes. First touching fresh memory
// costs more than copying into it unless the system maps it in huge pages;
// advise_large_buffer asks for them for the untouched bytes at `data` (a
// hint, a no-op for small buffers or where unsupported), and
// make_encoding_buffer returns a string of `size` zero bytes so advised.
void advise_large_buffer(void* data, std::size_t size) noexcept;
std::string make_encoding_buffer(std::size_t size);

}  // namespace quillon
