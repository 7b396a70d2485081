// Canonical cache texts, BLAKE3 hashing and cache keys.
#include "cache/keys.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>

namespace quillon {
namespace {

std::string render(const DataMap& map) {
  auto result = normalize_graph_data_map(map);
  if (auto* failure = std::get_if<UnsupportedKind>(&result)) return "<error " + std::string(failure->name) + ">";
  return std::get<std::string>(result);
}

// The tag of one string value: "s:" and the quoted, escaped text.
std::string string_tag(const std::string& text) {
  const std::string rendered = render({{"k", GraphData::from_string(text)}});
  return rendered.substr(3, rendered.size() - 4);  // strip "{k=" and "}"
}

GraphData f64(double v) { return GraphData::from_float(v); }
GraphData i64(std::int64_t v) { return GraphData::from_int(v); }

TEST(HashCanonical, MatchesPublishedVectors) {
  // Inputs of the published vectors: byte i is i % 251.
  auto input = [](std::size_t n) {
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
  };
  EXPECT_EQ(hash_canonical(""), "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");
  EXPECT_EQ(hash_canonical(input(1025)), "d00278ae47eb27b34faecf67b4fe263f82d5412916c1ffd97c8cb7fb814b8444");
  EXPECT_EQ(hash_canonical(input(4097)), "9b4052b38f1c5fc8b1f9ff7ac7b27cd242487b3d890d15c96a1c25b8aa0fb995");
}

TEST(ValueMapText, TagsSortingAndNesting) {
  EXPECT_EQ(render({}), "{}");
  EXPECT_EQ(render({{"b", i64(1)}, {"a", GraphData::none()}}), "{a=none,b=i:1}");
  EXPECT_EQ(render({{"x", f64(1.0)}}), "{x=f:3ff0000000000000}");
  EXPECT_EQ(render({{"n", i64(std::numeric_limits<std::int64_t>::min())}}), "{n=i:-9223372036854775808}");
  // Floats show their whole bit pattern, zero-padded; an equal int differs.
  EXPECT_EQ(render({{"a", f64(-0.0)}, {"b", f64(5e-324)}, {"c", f64(2.0)}, {"d", i64(2)}}),
            "{a=f:8000000000000000,b=f:0000000000000001,c=f:4000000000000000,d=i:2}");
  EXPECT_EQ(render({{"x", f64(std::bit_cast<double>(std::uint64_t{0x7ff80000000000abULL}))}}),
            "{x=f:7ff80000000000ab}");
  // Keys compare as unsigned bytes: "B" < "a" < "a0" < "z" < "\xc3\xa9".
  EXPECT_EQ(render({{"\xc3\xa9", i64(0)}, {"z", i64(0)}, {"a0", i64(0)}, {"a", i64(0)}, {"B", i64(0)}}),
            "{B=i:0,a=i:0,a0=i:0,z=i:0,\xc3\xa9=i:0}");
  const DataMap inner{{"y", i64(2)}, {"x", GraphData::from_string("s")}};
  EXPECT_EQ(render({{"m", GraphData::from_map(inner)}, {"a", GraphData::from_map({})}}),
            "{a=m:{},m=m:{x=s:\"s\",y=i:2}}");
}

TEST(ValueMapText, KeysThatCouldPassForSeveralEntriesAreQuoted) {
  // Written raw, the one key below would read as the two entries of the
  // other map, and the two input maps of one node would share a cache key.
  const std::string odd = "p=s:\"v\",q";
  const std::string two = render({{"p", GraphData::from_string("v")}, {"q", i64(1)}});
  const std::string one = render({{odd, i64(1)}});
  EXPECT_EQ(two, "{p=s:\"v\",q=i:1}");
  EXPECT_EQ(one, "{\"p=s:\\\"v\\\",q\"=i:1}");
  EXPECT_NE(one, two);
  EXPECT_EQ(render({{"a,b{c}", i64(1)}}), "{a,b{c}=i:1}") << "other keys stay as they are";
}

TEST(ValueMapText, UnsupportedKindsFailWithTheirName) {
  static int opaque = 0;
  EXPECT_EQ(render({{"v", GraphData::from_float_vec(std::vector<double>{1.0})}}), "<error float_vec>");
  EXPECT_EQ(render({{"v", GraphData::from_int_vec(std::vector<std::int64_t>{1})}}), "<error int_vec>");
  EXPECT_EQ(render({{"v", GraphData::from_py_object(PyObjectRef::steal(&opaque))}}), "<error pyobject>");
  // Inside a nested map; and the first one in sorted order is named.
  const DataMap nested{{"inner", GraphData::from_int_vec(std::vector<std::int64_t>{})}};
  EXPECT_EQ(render({{"ok", i64(1)}, {"m", GraphData::from_map(nested)}}), "<error int_vec>");
  EXPECT_EQ(render({{"b", GraphData::from_float_vec(std::vector<double>{})},
                    {"a", GraphData::from_int_vec(std::vector<std::int64_t>{})}}),
            "<error int_vec>");
}

TEST(StringTag, EscapesExactlyTheNonPrintableAndCombiningCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\"b", R"(s:"a\"b")"},
      {"a\\b", R"(s:"a\\b")"},
      {std::string("\0\t\r\n", 4), R"(s:"\0\t\r\n")"},
      {"it's ok", R"(s:"it's ok")"},
      {"\x01\x1b\x7f", R"(s:"\u{1}\u{1b}\u{7f}")"},
      {"\xc2\x85|\xc2\xa0|\xc2\xad", R"(s:"\u{85}|\u{a0}|\u{ad}")"},   // C1, no-break space, soft hyphen
      {"\xe2\x80\x8b\xe2\x80\xa8\xef\xbb\xbf", R"(s:"\u{200b}\u{2028}\u{feff}")"},
      {"\xee\x80\x80|\xcd\xb8|\xf4\x8f\xbf\xbf", R"(s:"\u{e000}|\u{378}|\u{10ffff}")"},  // private, unassigned
      {"e\xcc\x81", R"(s:"e\u{301}")"},                                 // combining acute
      {"\xe0\xa4\x95\xe0\xa5\x8d", "s:\"\xe0\xa4\x95\\u{94d}\""},       // virama
      {"\xe2\x83\x9d\xe2\x80\x8d", R"(s:"\u{20dd}\u{200d}")"},          // enclosing mark, joiner
      {"\xe2\x9d\xa4\xef\xb8\x8f", "s:\"\xe2\x9d\xa4\\u{fe0f}\""},      // variation selector
      {"\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", "s:\"\xf0\x9f\x91\x8d\\u{1f3fd}\""},  // skin tone
      {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80 \xe2\x82\xac", "s:\"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80 \xe2\x82\xac\""},
      // Invalid UTF-8: each bad byte b is written as \u{dc00 + b}.
      {"a\xff" "b", R"(s:"a\u{dcff}b")"},
      {"\xc3", R"(s:"\u{dcc3}")"},
      {"\xc0\x80", R"(s:"\u{dcc0}\u{dc80}")"},
      {"\xed\xa0\x80", R"(s:"\u{dced}\u{dca0}\u{dc80}")"},
      {"\xf4\x90\x80\x80", R"(s:"\u{dcf4}\u{dc90}\u{dc80}\u{dc80}")"},
      {"\xef\xbf\xbd", "s:\"\xef\xbf\xbd\""},
  };
  for (const auto& [text, tag] : cases) EXPECT_EQ(string_tag(text), tag);
}

TEST(StringTag, DistinctByteStringsNeverShareATag) {
  std::set<std::string> tags;
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; ++second) {
      tags.insert(string_tag({static_cast<char>(first), static_cast<char>(second)}));
    }
  }
  EXPECT_EQ(tags.size(), 256u * 256u);
}

TEST(NameMapText, SortsAndEscapesTheMapsOwnDelimiters) {
  EXPECT_EQ(normalize_string_map({}), "{}");
  EXPECT_EQ(normalize_string_map({{"a=b", "c,d"}, {"{", "}\""}, {"B", "b"}}), R"({B=b,a\=b=c\,d,\{=\}"})");
  EXPECT_EQ(normalize_string_map({{"\\", "a\\b"}}), R"({\\=a\\b})");
  // Everything else, quotes, colons, semicolons and spaces included, stays.
  EXPECT_EQ(normalize_string_map({{"1:y", "y"}, {"p q", "\"r;s'"}}), "{1:y=y,p q=\"r;s'}");

  // Written raw, these two maps gave one text, and two nodes one cache key.
  const NameMap one{{"a", "b=c,d"}};
  const NameMap other{{"a=b", "c,d"}};
  EXPECT_NE(normalize_string_map(one), normalize_string_map(other));
  Node first = Node::create(4, nullptr, "v1", "N", one, {});
  Node second = Node::create(4, nullptr, "v1", "N", other, {});
  EXPECT_NE(build_cache_lookup(first, "{}", "d").key, build_cache_lookup(second, "{}", "d").key);
}

TEST(NameMapText, DistinctMapsNeverShareAText) {
  // Names drawn mostly from the five escaped characters, with a quote and a
  // letter, so that nearly every pair of maps is one escape away from the
  // same text.
  constexpr char kAlphabet[] = {'\\', '=', ',', '{', '}', '\\', '=', ',', '{', '}', '"', 'a'};
  std::mt19937 random(20240611);
  auto name = [&] {
    std::string text(random() % 5, ' ');
    for (char& c : text) c = kAlphabet[random() % sizeof kAlphabet];
    return text;
  };
  std::map<std::string, NameMap> seen;  // text -> the map that gave it
  for (int i = 0; i < 50000; ++i) {
    NameMap map;
    for (unsigned n = random() % 4; n > 0; --n) map.insert_or_assign(name(), name());
    const std::string text = normalize_string_map(map);
    const auto [it, inserted] = seen.try_emplace(text, map);
    ASSERT_TRUE(inserted || it->second == map) << "two maps share the text " << text;
  }
  EXPECT_GT(seen.size(), 20000u);  // the generator really varied the maps
}

TEST(NodeIdentityText, RendersEveryIdentityField) {
  Node plain = Node::create(3, nullptr, "v1", std::nullopt, {}, {});
  EXPECT_EQ(node_identity_text(plain),
            "id=3;label=node-3;branch=None;variant=None;is_branch=false;inputs={};outputs={};variant_params={}");

  Node node = Node::create(12, nullptr, "v1", "Scale", {{"data", "x"}, {"1:y", "y"}}, {{"out", "result"}});
  node.branch_id = 2;
  node.variant_index = 0;
  node.is_branch = true;
  node.variant_params = {{"k", i64(1)}, {"f", f64(0.5)}};
  EXPECT_EQ(node_identity_text(node),
            "id=12;label=Scale;branch=Some(2);variant=Some(0);is_branch=true;inputs={1:y=y,data=x};"
            "outputs={out=result};variant_params={f=f:3fe0000000000000,k=i:1}");

  // Unrenderable parameters leave the node keyable; nothing else enters.
  plain.variant_params = {{"w", GraphData::from_float_vec(std::vector<double>{1.0})}};
  plain.dependencies = {1, 2};
  plain.cacheable = false;
  plain.cache_key_vars = std::vector<std::string>{"a"};
  plain.cache_version = "v2";
  EXPECT_EQ(node_identity_text(plain),
            "id=3;label=node-3;branch=None;variant=None;is_branch=false;inputs={};outputs={};variant_params={}");
}

TEST(DependencySignature, ShallowOrTransitiveOverSortedUpstreamKeys) {
  Node node = Node::create(5, nullptr, "v1", std::nullopt, {}, {});
  EXPECT_EQ(dependency_signature(CacheDepth::kTransitive, node, {}),
            "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262");

  // Texts sort whole ("10:kb" < "2:ka"); dependency order does not matter.
  const std::string signature = "976d2ada6da63d95bc7235e71bd4e0dc6365a8fc7bed33ac34e533d21e4fd66b";
  const DependencyKeyMap keys{{2, "ka"}, {10, "kb"}};
  node.dependencies = {2, 10};
  EXPECT_EQ(dependency_signature(CacheDepth::kTransitive, node, keys), signature);
  node.dependencies = {10, 2};
  EXPECT_EQ(dependency_signature(CacheDepth::kTransitive, node, keys), signature);
  EXPECT_EQ(dependency_signature(CacheDepth::kShallow, node, keys), "cache:shallow");
  EXPECT_EQ(dependency_signature(CacheDepth::kShallow, node, {}), "cache:shallow");

  node.dependencies = {1};  // no key known: "1:missing"
  EXPECT_EQ(dependency_signature(CacheDepth::kTransitive, node, keys),
            "1a1d2211c6d866d6459e3f980aa97b9209a61eaf5bcab7d9fdbd531931c4ad7f");
}

TEST(BuildCacheLookup, FillsEveryFieldAndTheKey) {
  Node node = Node::create(0, nullptr, "v1", "Source", {}, {{"x", "data"}});
  const CacheLookup lookup = build_cache_lookup(node, "{}", "cache:shallow");
  EXPECT_EQ(lookup.identity,
            "id=0;label=Source;branch=None;variant=None;is_branch=false;inputs={};outputs={x=data};"
            "variant_params={}");
  EXPECT_EQ(lookup.code_hash, "2a84887509a92ed4c5f4f4acb4aec1232da18970cef84558c77fe0f78336fb82");
  EXPECT_EQ(lookup.input_hash, "6e46dd10defc9b56c29a6ec56b508c21f54c08192194e4df25bf36f0c9c3c279");
  EXPECT_EQ(lookup.deps_signature, "cache:shallow");
  EXPECT_EQ(lookup.key, "439e490dfc867d7847d4c7eb652b624f434441c44794e3ba366187d56143d14b");

  // A node's precomputed parts give the same key as the texts alone, also
  // when the constant part spans several hash chunks.
  for (std::size_t label_length : {0, 60, 2000}) {
    node.label = std::string(label_length, 'n');
    NodeKeyParts parts = node_key_parts(node);
    ASSERT_NE(parts.prefix, nullptr);
    const std::string with_prefix = build_cache_lookup(parts, "{a=i:1}", "d").key;
    parts.prefix = nullptr;
    EXPECT_EQ(build_cache_lookup(parts, "{a=i:1}", "d").key, with_prefix);
    EXPECT_EQ(with_prefix, hash_canonical("node=" + parts.identity + "\ncode=" + parts.code_hash + "\ninput=" +
                                          hash_canonical("{a=i:1}") + "\ndeps=d"));
  }
  node.label = "Source";

  // The node function never enters the key.
  node.function = make_node_function([](const DataMap&) { return NodeOutput{}; });
  EXPECT_EQ(build_cache_lookup(node, "{}", "cache:shallow").key, lookup.key);

  const CacheEntry entry = build_cache_entry(lookup, {{"y", i64(7)}});
  EXPECT_EQ(entry.identity + entry.code_hash + entry.input_hash + entry.deps_signature,
            lookup.identity + lookup.code_hash + lookup.input_hash + lookup.deps_signature);
  EXPECT_EQ(entry.outputs.at("y").as_int(), 7);
}

// Content keying: values without a canonical text enter as digests.

std::string render_content(const DataMap& map) {
  auto result = normalize_graph_data_map(map, InputKeying::kContent);
  if (auto* failure = std::get_if<UnsupportedKind>(&result)) return "<error " + std::string(failure->name) + ">";
  return std::get<std::string>(result);
}

std::string hex_hash_of_bytes(const void* data, std::size_t size) {
  ContentHasher hasher;
  hasher.update(data, size);
  return hex_of(hasher.finish());
}

// A stand-in for the Python layer: objects are ints, the "digest" of object
// n is 32 bytes of value n; odd objects have none.
bool fake_digest(void* object, std::uint8_t* out) {
  const int value = *static_cast<const int*>(object);
  if (value % 2 != 0) return false;
  for (int i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(value);
  return true;
}

class ContentKeying : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = py_object_hooks();
    PyObjectHooks hooks;  // no retain or release: the objects are static ints
    hooks.content_digest = &fake_digest;
    set_py_object_hooks(hooks);
  }
  void TearDown() override { set_py_object_hooks(saved_); }
  PyObjectHooks saved_;
};

TEST_F(ContentKeying, VectorsEnterAsTheDigestOfTheirElementBytes) {
  const std::vector<double> floats{1.5, -0.0, 3.0};
  const std::vector<std::int64_t> ints{1, -2};
  EXPECT_EQ(render_content({{"v", GraphData::from_float_vec(floats)}}),
            "{v=c:float_vec:" + hex_hash_of_bytes(floats.data(), floats.size() * 8) + "}");
  EXPECT_EQ(render_content({{"v", GraphData::from_int_vec(ints)}}),
            "{v=c:int_vec:" + hex_hash_of_bytes(ints.data(), ints.size() * 8) + "}");
  // The empty vector is the digest of no bytes.
  EXPECT_EQ(render_content({{"v", GraphData::from_float_vec(std::vector<double>{})}}),
            "{v=c:float_vec:" + hash_canonical("") + "}");
  // Same bytes, different kinds: different texts.
  const std::vector<double> one{1.0};
  const std::vector<std::int64_t> same_bits{std::bit_cast<std::int64_t>(1.0)};
  EXPECT_NE(render_content({{"v", GraphData::from_float_vec(one)}}),
            render_content({{"v", GraphData::from_int_vec(same_bits)}}));
}

TEST_F(ContentKeying, ScalarTextsAreUnchangedAndMapsNest) {
  const DataMap scalars{{"b", i64(1)}, {"a", GraphData::none()}, {"s", GraphData::from_string("x")}};
  EXPECT_EQ(render_content(scalars), render(scalars));
  const DataMap nested{{"inner", GraphData::from_float_vec(std::vector<double>{2.0})}};
  const std::vector<double> two{2.0};
  EXPECT_EQ(render_content({{"m", GraphData::from_map(nested)}}),
            "{m=m:{inner=c:float_vec:" + hex_hash_of_bytes(two.data(), 8) + "}}");
}

TEST_F(ContentKeying, ObjectsUseTheHookAndFailWithoutADigest) {
  static int even = 4;
  static int odd = 3;
  std::string fours;
  for (int i = 0; i < 32; ++i) fours += "04";
  EXPECT_EQ(render_content({{"o", GraphData::from_py_object(PyObjectRef::steal(&even))}}),
            "{o=c:pyobject:" + fours + "}");
  EXPECT_EQ(render_content({{"o", GraphData::from_py_object(PyObjectRef::steal(&odd))}}), "<error pyobject>");
  // Canonical keying never asks the hook.
  EXPECT_EQ(render({{"o", GraphData::from_py_object(PyObjectRef::steal(&even))}}), "<error pyobject>");
  // Without the hook no object has a digest.
  set_py_object_hooks(PyObjectHooks{});
  EXPECT_EQ(render_content({{"o", GraphData::from_py_object(PyObjectRef::steal(&even))}}), "<error pyobject>");
}

TEST_F(ContentKeying, NodeInputTextFollowsTheNodeFlagAndKeyList) {
  Node node;
  node.id = 1;
  const DataMap inputs{{"v", GraphData::from_float_vec(std::vector<double>{1.0})}, {"n", i64(2)}};
  EXPECT_EQ(std::get<UnsupportedKind>(cache_input_text(node, inputs)).name, "float_vec");
  node.content_keys = true;
  EXPECT_TRUE(std::get<std::string>(cache_input_text(node, inputs)).starts_with("{n=i:2,v=c:float_vec:"));
  node.cache_key_vars = std::vector<std::string>{"n"};
  EXPECT_EQ(std::get<std::string>(cache_input_text(node, inputs)), "{n=i:2}");
}

TEST(ContentHasher, AgreesWithOneShotHashingWhateverTheSplit) {
  std::string bytes(3 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 256);
  ContentHasher split;
  split.update(bytes.data(), 1000);
  split.update(bytes.data() + 1000, bytes.size() - 1000);
  EXPECT_EQ(hex_of(split.finish()), hash_canonical(bytes));
}

}  // namespace
}  // namespace quillon
