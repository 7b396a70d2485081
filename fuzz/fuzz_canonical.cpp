// Fuzz target: canonical cache texts.
//
// Decodes the input into a small value map (nested maps, ints, floats with
// any bit pattern, strings of arbitrary bytes, vectors, None, opaque objects)
// plus a node, and checks the texts that cache keys are made of against an
// independent rendering: entries in bytewise key order, exact tags, the first
// unsupported kind reported by name, string escaping that decodes back to the
// original bytes (so distinct strings never share a tag), name map texts that
// decode back to their maps (so distinct maps never share a text),
// deterministic output whatever the map's insertion order, and 64-character
// lowercase hex hashes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cache/keys.hpp"
#include "graph_data.hpp"
#include "node.hpp"
#include "fuzz_support.hpp"

const char* const fuzz::kFuzzTarget = "fuzz_canonical";

namespace {

using quillon::DataKind;
using quillon::DataMap;
using quillon::GraphData;
using quillon::NameMap;
using quillon::Node;
using quillon::UnsupportedKind;

using fuzz::check;
using fuzz::fail;

using fuzz::byte_less;

// --- Decoding -------------------------------------------------------------

constexpr int kMaxDepth = 4;
constexpr std::size_t kMaxEntries = 6;

std::string decode_text(FuzzedDataProvider& in, std::size_t max_length = 24) {
  return in.ConsumeRandomLengthString(max_length);
}

DataMap decode_map(FuzzedDataProvider& in, int depth, int& budget);

GraphData decode_value(FuzzedDataProvider& in, int depth, int& budget) {
  --budget;
  switch (in.ConsumeIntegralInRange<int>(0, 11)) {
    case 0:
      return GraphData::from_int(in.ConsumeIntegral<std::int64_t>());
    case 1:
      return GraphData::from_float(std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>()));
    case 2: {
      constexpr double kSpecial[] = {0.0, -0.0, 1.0, 2.0, -1.5, 1e308, 5e-324,
                                     std::numeric_limits<double>::infinity(),
                                     -std::numeric_limits<double>::infinity(),
                                     std::numeric_limits<double>::quiet_NaN()};
      return GraphData::from_float(in.PickValueInArray(kSpecial));
    }
    case 3:
    case 4:
      return GraphData::from_string(decode_text(in, 32));
    case 5:
    case 6:
      if (depth < kMaxDepth && budget > 0) return GraphData::from_map(decode_map(in, depth + 1, budget));
      return GraphData::none();
    case 7:
      return GraphData::none();
    case 8:
      return GraphData::from_float_vec(std::vector<double>(in.ConsumeIntegralInRange<int>(0, 3), 0.5));
    case 9:
      return GraphData::from_int_vec(std::vector<std::int64_t>(in.ConsumeIntegralInRange<int>(0, 3), 7));
    case 10: {
      // An opaque object: no hooks are installed, so nothing is retained or
      // released; the pointer is never dereferenced.
      static int object;
      return GraphData::from_py_object(quillon::PyObjectRef::steal(&object));
    }
    default:
      return GraphData::from_int(in.ConsumeIntegralInRange<std::int64_t>(-3, 3));
  }
}

DataMap decode_map(FuzzedDataProvider& in, int depth, int& budget) {
  DataMap map;
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, kMaxEntries);
  for (std::size_t i = 0; i < n && budget > 0 && in.remaining_bytes() > 0; ++i) {
    std::string key = decode_text(in, 12);
    map.insert_or_assign(std::move(key), decode_value(in, depth, budget));
  }
  return map;
}

// Names of arbitrary bytes or, for half the maps, made only of the
// characters that name map texts escape plus a quote and a letter, where
// two different maps come closest to sharing a text.
NameMap decode_name_map(FuzzedDataProvider& in) {
  const bool delimiters_only = in.ConsumeBool();
  auto name = [&] {
    std::string text = decode_text(in, 10);
    if (delimiters_only) {
      for (char& c : text) c = "\\=,{}\"a"[static_cast<unsigned char>(c) % 7];
    }
    return text;
  };
  NameMap map;
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 4);
  for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
    std::string key = name();
    map.insert_or_assign(std::move(key), name());
  }
  return map;
}

// The same map rebuilt with the entries inserted in the opposite order into
// differently sized tables, nested maps included.
DataMap reshuffled(const DataMap& map) {
  std::vector<std::pair<std::string, GraphData>> entries(map.begin(), map.end());
  std::reverse(entries.begin(), entries.end());
  DataMap copy;
  copy.reserve(3 * entries.size() + 5);
  for (auto& [key, value] : entries) {
    if (value.kind() == DataKind::kMap) value = GraphData::from_map(reshuffled(value.as_map()));
    copy.emplace(std::move(key), std::move(value));
  }
  return copy;
}

// --- String tags ----------------------------------------------------------

// The tag the engine gives a single string value.
std::string string_tag(const std::string& text) {
  const auto rendered = quillon::normalize_graph_data_map(DataMap{{"", GraphData::from_string(text)}});
  const auto* out = std::get_if<std::string>(&rendered);
  check(out != nullptr, "a string value failed to render");
  check(out->starts_with("{=s:\"") && out->ends_with("\"}"), "string tag is not framed as s:\"...\"", *out);
  return out->substr(2, out->size() - 3);
}

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length of the well-formed UTF-8 sequence at the start of `s`, 0 if none.
std::size_t utf8_sequence_length(std::string_view s, std::uint32_t& cp) {
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = b(0);
  if (lead < 0x80) {
    cp = lead;
    return 1;
  }
  std::size_t length;
  std::uint32_t min;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

// Code points that must always be escaped, whatever the Unicode tables say:
// controls, the non-ASCII spaces and separators, invisible format
// characters, combining marks, private use and noncharacters.
bool must_escape(std::uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD || (cp >= 0x300 && cp <= 0x36F) ||
         (cp >= 0x2000 && cp <= 0x200F) || cp == 0x2028 || cp == 0x2029 || cp == 0x3000 || cp == 0xFEFF ||
         (cp >= 0xE000 && cp <= 0xF8FF) || (cp >= 0xFDD0 && cp <= 0xFDEF) || (cp & 0xFFFE) == 0xFFFE;
}

// Whether a code point is escaped, as observed so far in this input: the
// choice must be the same every time a code point appears.
std::map<std::uint32_t, bool>* g_escape_seen = nullptr;

void note_escape_choice(std::uint32_t cp, bool escaped, std::string_view tag) {
  if (escaped) {
    check(cp > 0x7E || (cp < 0x20 && cp != 0 && cp != '\t' && cp != '\r' && cp != '\n') || cp == 0x7F,
          "\\u{} escape used for a character with a short escape or a printable ASCII one", tag);
  } else {
    check(!must_escape(cp), "a control, separator, format or combining character was copied unescaped", tag);
  }
  const auto [it, inserted] = g_escape_seen->try_emplace(cp, escaped);
  check(inserted || it->second == escaped, "one code point escaped in one place and copied in another", tag);
}

// Decodes the inside of a string tag back into bytes, checking that the tag
// is well-formed: ASCII escapes, \u{hex} in lowercase without leading zeros,
// and valid UTF-8 everywhere else. An invalid input byte b shows as the lone
// surrogate U+DC00 + b, which valid text can never produce.
std::string unescape_tag(const std::string& tag) {
  check(tag.size() >= 4 && tag.starts_with("s:\"") && tag.back() == '"', "malformed string tag", tag);
  const std::string_view body = std::string_view(tag).substr(3, tag.size() - 4);
  std::string out;
  std::size_t i = 0;
  while (i < body.size()) {
    const auto c = static_cast<unsigned char>(body[i]);
    if (c == '\\') {
      check(i + 1 < body.size(), "dangling backslash in string tag", tag);
      const char e = body[i + 1];
      i += 2;
      switch (e) {
        case '\\': out += '\\'; continue;
        case '"': out += '"'; continue;
        case '0': out += '\0'; continue;
        case 't': out += '\t'; continue;
        case 'r': out += '\r'; continue;
        case 'n': out += '\n'; continue;
        case 'u': break;
        default: fail("unknown escape in string tag", tag);
      }
      check(i < body.size() && body[i] == '{', "\\u not followed by {", tag);
      const std::size_t close = body.find('}', i);
      check(close != std::string_view::npos, "unterminated \\u{", tag);
      const std::string_view hex = body.substr(i + 1, close - i - 1);
      check(!hex.empty() && hex.size() <= 6, "bad \\u{} length", tag);
      check(hex.size() == 1 || hex[0] != '0', "\\u{} with a leading zero", tag);
      std::uint32_t cp = 0;
      for (char h : hex) {
        check((h >= '0' && h <= '9') || (h >= 'a' && h <= 'f'), "\\u{} digit is not lowercase hex", tag);
        cp = cp * 16 + static_cast<std::uint32_t>(h <= '9' ? h - '0' : h - 'a' + 10);
      }
      i = close + 1;
      if (cp >= 0xDC80 && cp <= 0xDCFF) {
        out += static_cast<char>(cp - 0xDC00);  // a byte that was not valid UTF-8
      } else {
        check(cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF), "\\u{} names no character", tag);
        note_escape_choice(cp, true, tag);
        append_utf8(out, cp);
      }
      continue;
    }
    check(c != '"', "raw double quote inside string tag", tag);
    std::uint32_t cp = 0;
    const std::size_t length = utf8_sequence_length(body.substr(i), cp);
    check(length != 0, "string tag is not valid UTF-8", tag);
    note_escape_choice(cp, false, tag);
    out.append(body.substr(i, length));
    i += length;
  }
  return out;
}

void check_string(const std::string& text) {
  const std::string tag = string_tag(text);
  check(unescape_tag(tag) == text, "string tag does not decode back to its text", tag);
}

// --- Reference rendering --------------------------------------------------

std::string float_tag(double v) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "f:%016" PRIx64, std::bit_cast<std::uint64_t>(v));
  return buffer;
}

using Rendering = std::variant<std::string, std::string_view>;  // text, or unsupported kind name

Rendering reference_map_text(const DataMap& map) {
  std::vector<const DataMap::value_type*> sorted;
  for (const auto& entry : map) sorted.push_back(&entry);
  std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return byte_less(a->first, b->first); });
  std::string out = "{";
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i != 0) out += ',';
    const std::string& key = sorted[i]->first;
    // Keys holding "=" or a double quote are quoted like string values.
    out += key.find_first_of("=\"") == std::string::npos ? key : string_tag(key).substr(2);
    out += '=';
    const GraphData& value = sorted[i]->second;
    switch (value.kind()) {
      case DataKind::kInt: out += "i:" + std::to_string(value.as_int()); break;
      case DataKind::kFloat: out += float_tag(value.as_float()); break;
      case DataKind::kString:
        check_string(value.as_string());
        out += string_tag(value.as_string());
        break;
      case DataKind::kMap: {
        Rendering nested = reference_map_text(value.as_map());
        if (nested.index() == 1) return nested;
        out += "m:" + std::get<0>(nested);
        break;
      }
      case DataKind::kNone: out += "none"; break;
      case DataKind::kFloatVec: return std::string_view("float_vec");
      case DataKind::kIntVec: return std::string_view("int_vec");
      case DataKind::kPyObject: return std::string_view("pyobject");
    }
  }
  return out + "}";
}

// A name with a backslash before each backslash, "=", ",", "{" and "}".
std::string escaped_name(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (c == '\\' || c == '=' || c == ',' || c == '{' || c == '}') out += '\\';
    out += c;
  }
  return out;
}

std::string reference_name_map_text(const NameMap& map) {
  std::vector<const NameMap::value_type*> sorted;
  for (const auto& entry : map) sorted.push_back(&entry);
  std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return byte_less(a->first, b->first); });
  std::string out = "{";
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i != 0) out += ',';
    out += escaped_name(sorted[i]->first) + "=" + escaped_name(sorted[i]->second);
  }
  return out + "}";
}

// Parses a name map text back into its map: a name runs up to the next
// unescaped "=", ",", "{" or "}", and a backslash takes the next character
// literally. Fails on anything the renderer cannot have written.
NameMap parse_name_map_text(const std::string& text) {
  check(!text.empty() && text.front() == '{', "name map text does not open with a brace", text);
  NameMap map;
  if (text == "{}") return map;
  const auto is_delimiter = [](char c) { return c == '=' || c == ',' || c == '{' || c == '}'; };
  std::size_t i = 1;
  // Reads one name into `out`; returns the delimiter that ended it.
  const auto read_name = [&](std::string& out) {
    for (;;) {
      check(i < text.size(), "name map text ends inside a name", text);
      const char c = text[i++];
      if (is_delimiter(c)) return c;
      if (c == '\\') {
        check(i < text.size(), "dangling backslash in a name map text", text);
        const char next = text[i++];
        check(next == '\\' || is_delimiter(next), "a backslash before a character that needs none", text);
        out += next;
      } else {
        out += c;
      }
    }
  };
  for (;;) {
    std::string key;
    std::string value;
    check(read_name(key) == '=', "a key not followed by '='", text);
    const char end = read_name(value);
    check(end == ',' || end == '}', "a value not followed by ',' or '}'", text);
    check(map.emplace(std::move(key), std::move(value)).second, "one key twice in a name map text", text);
    if (end == '}') break;
  }
  check(i == text.size(), "text after the name map's closing brace", text);
  return map;
}

std::string optional_number(const std::optional<std::uint64_t>& n) {
  return n ? "Some(" + std::to_string(*n) + ")" : "None";
}

void check_hash(const std::string& hash, std::string_view of) {
  check(hash.size() == 64, "hash is not 64 characters", of);
  for (char c : hash) check((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'), "hash is not lowercase hex", of);
}

bool same(const std::variant<std::string, UnsupportedKind>& actual, const Rendering& expected) {
  if (actual.index() != expected.index()) return false;
  if (actual.index() == 0) return std::get<0>(actual) == std::get<0>(expected);
  return std::get<1>(actual).name == std::get<1>(expected);
}

std::string describe(const std::variant<std::string, UnsupportedKind>& r) {
  return r.index() == 0 ? std::get<0>(r) : "unsupported " + std::string(std::get<1>(r).name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool kEmptyHashChecked = [] {
    check(quillon::hash_canonical("") == "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262",
          "hash of the empty text");
    return true;
  }();
  (void)kEmptyHashChecked;

  std::map<std::uint32_t, bool> escape_seen;
  g_escape_seen = &escape_seen;
  FuzzedDataProvider in(data, size);

  // Two strings of arbitrary bytes: distinct texts never share a tag.
  const std::string first = decode_text(in, 40);
  const std::string second = decode_text(in, 40);
  check_string(first);
  check_string(second);
  check((first == second) == (string_tag(first) == string_tag(second)), "two strings share a tag or one string two",
        string_tag(first) + " / " + string_tag(second));

  int budget = 40;
  const DataMap map = decode_map(in, 0, budget);

  // Value map text against the reference, twice and in another insertion order.
  const auto rendered = quillon::normalize_graph_data_map(map);
  const Rendering expected = reference_map_text(map);
  check(same(rendered, expected), "value map text differs from the reference rendering", describe(rendered));
  check(describe(quillon::normalize_graph_data_map(map)) == describe(rendered), "value map text is not deterministic");
  check(describe(quillon::normalize_graph_data_map(reshuffled(map))) == describe(rendered),
        "value map text depends on insertion order");

  // Name maps: the reference text, which decodes back to its map, so two
  // maps share a text only when they are equal.
  const NameMap inputs = decode_name_map(in);
  const NameMap outputs = decode_name_map(in);
  const std::string inputs_text = quillon::normalize_string_map(inputs);
  const std::string outputs_text = quillon::normalize_string_map(outputs);
  check(inputs_text == reference_name_map_text(inputs), "name map text differs", inputs_text);
  check(parse_name_map_text(inputs_text) == inputs, "name map text does not decode back to its map", inputs_text);
  check(parse_name_map_text(outputs_text) == outputs, "name map text does not decode back to its map", outputs_text);
  check((inputs == outputs) == (inputs_text == outputs_text), "two name maps share a text or one map two",
        inputs_text + " / " + outputs_text);

  // Node identity text, with the value map as variant parameters.
  Node node;
  node.id = in.ConsumeBool() ? in.ConsumeIntegral<std::uint64_t>() : in.ConsumeIntegralInRange<std::uint64_t>(0, 20);
  if (in.ConsumeBool()) node.label = decode_text(in, 20);
  if (in.ConsumeBool()) node.branch_id = in.ConsumeIntegral<std::uint64_t>();
  if (in.ConsumeBool()) node.variant_index = in.ConsumeIntegralInRange<std::uint64_t>(0, 9);
  node.is_branch = in.ConsumeBool();
  node.inputs = inputs;
  node.outputs = outputs;
  node.variant_params = map;
  node.cache_version = decode_text(in, 16);
  const std::string id = std::to_string(node.id);
  const std::string expected_identity =
      "id=" + id + ";label=" + (node.label ? *node.label : "node-" + id) + ";branch=" + optional_number(node.branch_id) +
      ";variant=" + optional_number(node.variant_index) + ";is_branch=" + (node.is_branch ? "true" : "false") +
      ";inputs=" + reference_name_map_text(inputs) + ";outputs=" + reference_name_map_text(outputs) +
      ";variant_params=" + (expected.index() == 0 ? std::get<0>(expected) : std::string("{}"));
  const std::string identity = quillon::node_identity_text(node);
  check(identity == expected_identity, "node identity text differs from the reference", identity);

  // Dependency signatures ignore the order of dependencies; keys follow the
  // documented combined text.
  const std::size_t n_deps = in.ConsumeIntegralInRange<std::size_t>(0, 5);
  quillon::DependencyKeyMap dep_keys;
  for (std::size_t i = 0; i < n_deps; ++i) {
    const auto dep = in.ConsumeIntegralInRange<quillon::NodeId>(0, 12);
    node.dependencies.push_back(dep);
    if (in.ConsumeBool()) dep_keys.insert_or_assign(dep, decode_text(in, 8));
  }
  const std::string signature = quillon::dependency_signature(quillon::CacheDepth::kTransitive, node, dep_keys);
  check_hash(signature, "dependency signature");
  std::reverse(node.dependencies.begin(), node.dependencies.end());
  check(quillon::dependency_signature(quillon::CacheDepth::kTransitive, node, dep_keys) == signature,
        "dependency signature depends on dependency order");
  check(quillon::dependency_signature(quillon::CacheDepth::kShallow, node, dep_keys) == "cache:shallow",
        "shallow signature");

  const std::string input_text = expected.index() == 0 ? std::get<0>(expected) : "{}";
  const quillon::CacheLookup lookup = quillon::build_cache_lookup(node, input_text, signature);
  check_hash(lookup.key, "key");
  check_hash(lookup.code_hash, "code hash");
  check_hash(lookup.input_hash, "input hash");
  check(lookup.identity == identity, "lookup identity");
  check(lookup.code_hash == quillon::hash_canonical(node.cache_version), "code hash is not the version's hash");
  check(lookup.input_hash == quillon::hash_canonical(input_text), "input hash is not the input text's hash");
  check(lookup.key == quillon::hash_canonical("node=" + identity + "\ncode=" + lookup.code_hash + "\ninput=" +
                                              lookup.input_hash + "\ndeps=" + signature),
        "key is not the hash of the combined text");
  check(quillon::build_cache_lookup(node, input_text, signature).key == lookup.key, "key is not deterministic");

  g_escape_seen = nullptr;
  return 0;
}
