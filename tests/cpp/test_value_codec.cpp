// The byte form of stored outputs: round trips of every value kind, and
// refusal of anything that is not a whole encoding of this format.
#include "cache/value_codec.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace quillon {
namespace {

using namespace std::string_view_literals;

// Opaque values in these tests are small integer tags posing as objects;
// the hooks count how many references are held, so leaks show.
std::atomic<long> g_live_objects{0};

void release_tag(void*) { g_live_objects.fetch_sub(1); }

GraphData object_value(std::uintptr_t tag) {
  static const bool kHooks = [] {
    set_py_object_hooks(PyObjectHooks{nullptr, &release_tag, nullptr});
    return true;
  }();
  (void)kHooks;
  g_live_objects.fetch_add(1);
  return GraphData::from_py_object(PyObjectRef::steal(reinterpret_cast<void*>(tag)));
}

// Encodes a tag as "obj:<tag>"; refuses tag 13 (and decoding its text).
class TagCodec final : public ObjectCodec {
 public:
  std::optional<std::string> encode(const PyObjectRef& object, std::string& problem) const override {
    const auto tag = reinterpret_cast<std::uintptr_t>(object.get());
    if (tag == 13) {
      problem = "cannot encode tag 13";
      return std::nullopt;
    }
    return "obj:" + std::to_string(tag);
  }
  std::optional<PyObjectRef> decode(std::string_view bytes) const override {
    if (!bytes.starts_with("obj:")) return std::nullopt;
    std::uintptr_t tag = 0;
    const char* end = bytes.data() + bytes.size();
    const auto [ptr, ec] = std::from_chars(bytes.data() + 4, end, tag);
    if (ec != std::errc() || ptr != end || tag == 0 || tag == 13) return std::nullopt;
    g_live_objects.fetch_add(1);
    return PyObjectRef::steal(reinterpret_cast<void*>(tag));
  }
};

const TagCodec kCodec;

// Deep equality, floats compared bit for bit.
bool same(const GraphData& a, const GraphData& b);

bool same(const DataMap& a, const DataMap& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [name, value] : a) {
    const auto it = b.find(name);
    if (it == b.end() || !same(value, it->second)) return false;
  }
  return true;
}

bool same(const GraphData& a, const GraphData& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case DataKind::kInt: return a.as_int() == b.as_int();
    case DataKind::kFloat: return std::bit_cast<std::uint64_t>(a.as_float()) == std::bit_cast<std::uint64_t>(b.as_float());
    case DataKind::kString: return a.as_string() == b.as_string();
    case DataKind::kFloatVec:
      return a.as_float_vec().size() == b.as_float_vec().size() &&
             (a.as_float_vec().empty() ||
              std::memcmp(a.as_float_vec().data(), b.as_float_vec().data(), a.as_float_vec().size() * 8) == 0);
    case DataKind::kIntVec: return a.as_int_vec() == b.as_int_vec();
    case DataKind::kMap: return same(a.as_map(), b.as_map());
    case DataKind::kPyObject: return a.as_py_object().get() == b.as_py_object().get();
    case DataKind::kNone: return true;
  }
  return false;
}

std::string encode(const DataMap& outputs, const ObjectCodec* codec = &kCodec) {
  std::string problem;
  std::optional<std::string> bytes = encode_outputs(outputs, codec, problem);
  EXPECT_TRUE(bytes.has_value()) << problem;
  return bytes.value_or(std::string());
}

void expect_round_trip(const DataMap& outputs) {
  const std::optional<DataMap> back = decode_outputs(encode(outputs), &kCodec);
  ASSERT_TRUE(back.has_value());
  EXPECT_TRUE(same(outputs, *back));
}

double bits(std::uint64_t b) { return std::bit_cast<double>(b); }

// Outputs holding every kind, with a nested map holding every kind again.
DataMap every_kind() {
  DataMap inner{
      {"i", GraphData::from_int(-7)},
      {"s", GraphData::from_string("inner")},
      {"deeper", GraphData::from_map({{"v", GraphData::from_int_vec({1, 2, 3})}, {"o", object_value(42)}})},
      {"n", GraphData::none()},
  };
  return DataMap{
      {"int", GraphData::from_int(std::numeric_limits<std::int64_t>::min())},
      {"int_max", GraphData::from_int(std::numeric_limits<std::int64_t>::max())},
      {"float", GraphData::from_float(3.25)},
      {"text", GraphData::from_string(std::string("nul\0inside \xc3\xa9"sv))},
      {"floats", GraphData::from_float_vec({1.5, -2.0, 1e300})},
      {"ints", GraphData::from_int_vec({-1, 0, std::numeric_limits<std::int64_t>::max()})},
      {"map", GraphData::from_map(inner)},
      {"object", object_value(7)},
      {"none", GraphData::none()},
      {"", GraphData::from_int(0)},
  };
}

TEST(ValueCodec, RoundTripsEveryKindIncludingNestedMaps) {
  expect_round_trip(every_kind());
  EXPECT_EQ(g_live_objects.load(), 0);
}

TEST(ValueCodec, RoundTripsEmptyMapsTextsAndVectors) {
  expect_round_trip({});
  expect_round_trip({{"s", GraphData::from_string("")},
                     {"f", GraphData::from_float_vec(std::vector<double>{})},
                     {"i", GraphData::from_int_vec(std::vector<std::int64_t>{})},
                     {"m", GraphData::from_map({})}});
}

TEST(ValueCodec, FloatsRoundTripBitForBit) {
  const std::vector<double> special = {
      0.0, -0.0, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
      bits(0x7ff8000000000001),  // quiet NaN with a payload
      bits(0xfff0000000000abc),  // negative signalling NaN with a payload
      std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(),
  };
  DataMap outputs{{"vec", GraphData::from_float_vec(special)}};
  for (std::size_t i = 0; i < special.size(); ++i) {
    outputs.emplace("f" + std::to_string(i), GraphData::from_float(special[i]));
  }
  expect_round_trip(outputs);
}

TEST(ValueCodec, LargeVectorsRoundTrip) {
  std::vector<double> floats(1'000'000);
  std::vector<std::int64_t> ints(1'000'000);
  for (std::size_t i = 0; i < floats.size(); ++i) {
    floats[i] = static_cast<double>(i) * 0.5 - 1.0;
    ints[i] = static_cast<std::int64_t>(i * 2654435761u);
  }
  expect_round_trip({{"f", GraphData::from_float_vec(floats)}, {"i", GraphData::from_int_vec(ints)}});
}

TEST(ValueCodec, EveryTruncationAndAnyTrailingByteIsRefused) {
  const std::string bytes = encode(every_kind());
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(decode_outputs(std::string_view(bytes).substr(0, n), &kCodec).has_value()) << "prefix " << n;
  }
  EXPECT_FALSE(decode_outputs(bytes + '\0', &kCodec).has_value());
  EXPECT_TRUE(decode_outputs(bytes, &kCodec).has_value());
  EXPECT_EQ(g_live_objects.load(), 0);  // objects decoded before the damage are released
}

TEST(ValueCodec, DamagedBytesNeverCrashAndWhatDecodesIsAWholeMap) {
  const std::string good = encode(every_kind());
  std::mt19937_64 random(20240611);
  int decoded = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string bytes = good;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < flips; ++f) {
      bytes[random() % bytes.size()] = static_cast<char>(random() & 0xff);
    }
    const std::optional<DataMap> back = decode_outputs(bytes, &kCodec);
    if (!back) continue;
    ++decoded;
    // Whatever decodes is an ordinary map: it encodes again, to the same map.
    const std::optional<DataMap> again = decode_outputs(encode(*back), &kCodec);
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(same(*back, *again));
  }
  EXPECT_GT(decoded, 0);  // some flips land in payload bytes and still decode
  EXPECT_EQ(g_live_objects.load(), 0);
}

// Hand-made encodings of damaged or hostile shapes.
class Bytes {
 public:
  Bytes& raw(std::string_view s) { return text_.append(s), *this; }
  Bytes& u8(std::uint8_t v) { return text_.push_back(static_cast<char>(v)), *this; }
  Bytes& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& header(std::uint32_t version = 1) { return raw("QLNV").u32(version); }
  Bytes& name(std::string_view n) { return u64(n.size()).raw(n); }
  const std::string& str() const { return text_; }

 private:
  std::string text_;
};

TEST(ValueCodec, HeaderFromAnotherFormatOrANewerVersionIsRefused) {
  const std::string good = Bytes().header().u64(1).name("x").u8(7).str();
  ASSERT_TRUE(decode_outputs(good, nullptr).has_value());
  EXPECT_FALSE(decode_outputs(Bytes().header(2).u64(1).name("x").u8(7).str(), nullptr).has_value());
  EXPECT_FALSE(decode_outputs(Bytes().header(0).u64(0).str(), nullptr).has_value());
  EXPECT_FALSE(decode_outputs(Bytes().raw("QLNW").u32(1).u64(0).str(), nullptr).has_value());
  EXPECT_FALSE(decode_outputs("", nullptr).has_value());
}

TEST(ValueCodec, HugeDeclaredLengthsAndUnknownKindsAreRefused) {
  const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max();
  const std::vector<std::string> hostile = {
      Bytes().header().u64(huge).str(),                                 // entry count
      Bytes().header().u64(1).u64(huge).str(),                          // name length
      Bytes().header().u64(1).name("s").u8(2).u64(huge).raw("ab").str(),  // text length
      Bytes().header().u64(1).name("s").u8(2).u64(3).raw("ab").str(),     // text one byte short
      // A count whose byte size wraps around to 0 or 8.
      Bytes().header().u64(1).name("f").u8(3).u64(std::uint64_t{1} << 61).str(),
      Bytes().header().u64(1).name("i").u8(4).u64((std::uint64_t{1} << 61) + 1).u64(5).str(),
      Bytes().header().u64(1).name("o").u8(6).u64(huge - 3).raw("obj:5").str(),
      Bytes().header().u64(1).name("k").u8(8).str(),                       // no such kind
      Bytes().header().u64(1).name("k").u8(255).u64(0).str(),
      Bytes().header().u64(2).name("x").u8(7).name("x").u8(7).str(),       // one name twice
      Bytes().header().u64(1).name("m").u8(5).u64(huge).str(),             // nested entry count
  };
  for (std::size_t i = 0; i < hostile.size(); ++i) {
    EXPECT_FALSE(decode_outputs(hostile[i], &kCodec).has_value()) << "case " << i;
  }
}

DataMap nested(int depth) {
  DataMap map{{"leaf", GraphData::from_int(depth)}};
  for (int i = 0; i < depth; ++i) map = DataMap{{"m", GraphData::from_map(std::move(map))}};
  return map;
}

TEST(ValueCodec, MapsNestDeeplyUpToALimitOnBothSides) {
  expect_round_trip(nested(64));

  std::string problem;
  EXPECT_FALSE(encode_outputs(nested(65), &kCodec, problem).has_value());
  EXPECT_EQ(problem, "output 'm': maps nested more than 64 deep");

  // The decoder enforces the same limit on bytes it did not make, and a
  // nesting far deeper than any stack allows is refused, not followed.
  for (const int depth : {65, 1'000'000}) {
    Bytes bytes;
    bytes.header();
    for (int i = 0; i < depth; ++i) bytes.u64(1).name("m").u8(5);
    bytes.u64(0);
    EXPECT_FALSE(decode_outputs(bytes.str(), nullptr).has_value()) << depth;
  }
  Bytes ok;
  ok.header();
  for (int i = 0; i < 64; ++i) ok.u64(1).name("m").u8(5);
  ok.u64(0);
  EXPECT_TRUE(decode_outputs(ok.str(), nullptr).has_value());
}

TEST(ValueCodec, OpaqueValuesNeedACodecThatTakesThem) {
  std::string problem;
  {
    const DataMap outputs{{"y", GraphData::from_int(1)}, {"obj", object_value(5)}};
    EXPECT_FALSE(encode_outputs(outputs, nullptr, problem).has_value());
    EXPECT_EQ(problem, "output 'obj': no codec for an opaque value");
  }
  {
    // The codec's own reason, under the name of the output the value sits in.
    const DataMap outputs{{"outer", GraphData::from_map({{"inner", object_value(13)}})}};
    problem.clear();
    EXPECT_FALSE(encode_outputs(outputs, &kCodec, problem).has_value());
    EXPECT_EQ(problem, "output 'outer': cannot encode tag 13");
  }
  // Without a codec nothing else stops plain values from encoding.
  EXPECT_TRUE(encode_outputs({{"y", GraphData::from_int(1)}}, nullptr, problem).has_value());

  const std::string bytes = encode({{"a", object_value(3)}, {"b", object_value(4)}, {"c", GraphData::from_int(1)}});
  EXPECT_FALSE(decode_outputs(bytes, nullptr).has_value());
  EXPECT_TRUE(decode_outputs(bytes, &kCodec).has_value());
  // An object the codec cannot read back fails the whole map, and the
  // objects already decoded are let go.
  const std::string refused = Bytes().header().u64(2).name("a").u8(6).name("obj:3").name("b").u8(6).name("obj:13").str();
  EXPECT_FALSE(decode_outputs(refused, &kCodec).has_value());
  EXPECT_EQ(g_live_objects.load(), 0);
}

}  // namespace
}  // namespace quillon
