// Cache keys: canonical texts of one node execution and their BLAKE3 hashes.
//
// A cached execution is described by four texts: the node identity, the code
// hash of its version token, the input hash of its cache-key inputs and the
// dependency signature of its upstream keys. Identical texts give identical
// keys. Everything here is a pure function of its arguments and safe on any
// thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "blake3.h"
#include "cache/records.hpp"
#include "node.hpp"

namespace quillon {

// A value kind with no canonical text: "float_vec", "int_vec" or "pyobject".
struct UnsupportedKind {
  std::string_view name;
  friend bool operator==(UnsupportedKind, UnsupportedKind) = default;
};

// How a value map renders the kinds without a canonical text (float and int
// vectors, Python objects).
enum class InputKeying : std::uint8_t {
  kCanonical,  // the rendering fails on them
  // They enter as "c:<kind>:<64 hex digits>", the BLAKE3 digest of their
  // content: for vectors the native bytes of their elements, for Python
  // objects what the content_digest hook gives. No canonical tag starts
  // with "c:", so a digest never reads as a canonical value.
  kContent,
};

using ContentDigest = std::array<std::uint8_t, 32>;

// Incremental BLAKE3 (default unkeyed mode, 32-byte output) of the bytes
// fed to it. A plain value: copy it to fork a digest in progress.
class ContentHasher {
 public:
  ContentHasher() noexcept { blake3_hasher_init(&state_); }
  void update(const void* data, std::size_t size) noexcept { blake3_hasher_update(&state_, data, size); }
  void update(std::string_view bytes) noexcept { update(bytes.data(), bytes.size()); }
  ContentDigest finish() const noexcept {
    ContentDigest digest;
    blake3_hasher_finalize(&state_, digest.data(), digest.size());
    return digest;
  }

 private:
  blake3_hasher state_;
};

// BLAKE3 (32-byte default output) of the text, as 64 lowercase hex digits.
std::string hash_canonical(std::string_view text);

// A 32-byte digest as the 64 lowercase hex digits hash_canonical gives.
std::string hex_of(const std::array<std::uint8_t, 32>& digest);

// "{k=v,...}" with entries sorted bytewise by key. In keys and values each
// backslash, "=", ",", "{" and "}" is written with a backslash before it (the
// name a=b becomes a\=b), so distinct maps give distinct texts; names without
// those five characters are written unchanged.
std::string normalize_string_map(const NameMap& map);

// "{k=tag,...}" with entries sorted bytewise by key, or the first unsupported
// kind met in sorted order (nested maps included). With content keying only
// a Python object without a content digest is unsupported.
std::variant<std::string, UnsupportedKind> normalize_graph_data_map(const DataMap& map,
                                                                    InputKeying keying = InputKeying::kCanonical);

// The input text of a node's gathered inputs: the part of them that enters
// its key, rendered with the node's keying. May throw RunInterrupted (from
// the content_digest hook).
std::variant<std::string, UnsupportedKind> cache_input_text(const Node& node, const DataMap& inputs);

// "id=...;label=...;branch=...;variant=...;is_branch=...;inputs=...;outputs=...;variant_params=..."
std::string node_identity_text(const Node& node);

// "cache:shallow" for shallow depth; for transitive depth the hash of the
// sorted "{id}:{key}" texts of the node's dependencies joined by "|"
// ("missing" for a dependency without a key). Never called with depth none.
std::string dependency_signature(CacheDepth depth, const Node& node, const DependencyKeyMap& keys);

CacheLookup build_cache_lookup(const Node& node, const std::string& input_text, std::string deps_signature);

// The parts of a node's lookup that no run changes: its identity text and
// code hash. A Dag computes them once per cached node.
struct KeyPrefixState;  // the key hash with the node's constant text already fed
struct NodeKeyParts {
  std::string identity;
  std::string code_hash;
  std::shared_ptr<const KeyPrefixState> prefix;  // set by node_key_parts
};

NodeKeyParts node_key_parts(const Node& node);

CacheLookup build_cache_lookup(const NodeKeyParts& parts, const std::string& input_text,
                               std::string deps_signature);

CacheEntry build_cache_entry(const CacheLookup& lookup, DataMap outputs);

}  // namespace quillon
