// QualifiedName: a broadcast name as the graph reads it, plain ("y") or
// qualified by a branch ("2:y", the value branch 2's copies wrote for y).
//
// Branch copies never write their outputs under the plain name: they write
// the branch key "__branch_{branch}__{name}" (see branch_key). A qualified
// name is how a reader asks for such a value. The text is parsed once, at
// construction; every query afterwards only hands back what was computed
// then. Three readers interpret a colon in their own way (input gathering,
// the propagation lookup and dependency derivation); each has its own query
// below, and the comment on each says how and why it differs.
//
// Names are split at the byte ':' and are otherwise taken as written: a
// branch piece is never parsed as a number ("02:y" reads "__branch_02__y"),
// and UTF-8 text splits correctly because no byte of a multi-byte character
// equals ':'. An immutable value; safe to read from several threads at once.
// Views returned by the queries live as long as the object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

class QualifiedName {
 public:
  explicit QualifiedName(std::string_view broadcast);

  // The name as written.
  const std::string& text() const noexcept { return text_; }

  // Whether the name contains a colon at all, whether or not any of the
  // rules below make sense of it.
  bool is_qualified() const noexcept { return qualified_; }

  // The context key a node input reads. A plain name reads itself. A name
  // of exactly two colon-separated pieces P and Q (empty pieces count, so
  // ":" is "" and "") reads "__branch_P__Q". Any other number of pieces
  // ("a:b:c") reads nothing: std::nullopt, and the input is never gathered.
  // This is the strict rule: an input names one variable of one branch.
  std::optional<std::string_view> input_key() const noexcept {
    if (!qualified_) return std::string_view(text_);
    if (!gatherable_) return std::nullopt;
    return std::string_view(key_);
  }

  // The key the propagation layer looks a distribution up under. A plain
  // name is itself; otherwise the name is split at its first colon only and
  // everything after it, further colons included, is the variable:
  // "a:b:c" gives "__branch_a__b:c". Unlike input_key this always yields a
  // key, so a value that a branch copy wrote under a name that itself holds
  // a colon can still be found there. Equal to *input_key() whenever
  // input_key is present.
  std::string_view lookup_key() const noexcept { return qualified_ ? std::string_view(key_) : std::string_view(text_); }

  // The variable whose producers a reader of this name depends on. A plain
  // name is itself; otherwise it is the text between the first colon and
  // the next one (or the end): "2:y" and "2:y:z" give "y", "2:" gives "".
  // The branch piece is ignored on purpose: a qualified reader depends on
  // every node that writes the variable, in any branch or none, and a name
  // input_key rejects still orders its reader after those writers.
  std::string_view producer_name() const noexcept { return producer_name_of(text_); }

  // The same rule on any text, without building the object (the builder
  // asks it of every input).
  static std::string_view producer_name_of(std::string_view broadcast) noexcept {
    const std::size_t first = broadcast.find(':');
    if (first == std::string_view::npos) return broadcast;
    const std::string_view rest = broadcast.substr(first + 1);
    return rest.substr(0, rest.find(':'));
  }

  // Whether a name holds no colon: then every rule above answers the name
  // itself, and a caller may use it without parsing.
  static bool is_plain(std::string_view broadcast) noexcept { return broadcast.find(':') == std::string_view::npos; }

 private:
  // Constant after construction.
  std::string text_;
  bool qualified_ = false;
  bool gatherable_ = true;  // a plain name, or exactly two pieces
  // The branch key a qualified name reads (split at the first colon); empty
  // for a plain name, whose keys are its text.
  std::string key_;
};

// The context key under which a copy of branch `branch_id` writes its output
// `name`: "__branch_{branch_id}__{name}". A node outside branches writes the
// plain name instead.
std::string branch_key(std::uint64_t branch_id, std::string_view name);

}  // namespace quillon
