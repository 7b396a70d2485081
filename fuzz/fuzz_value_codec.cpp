// Fuzz target: reading stored outputs back from arbitrary bytes.
//
// The input is handed to decode_outputs as it is, with an object codec whose
// objects are small integer tags written as "obj:<tag>". Decoding must never
// read out of bounds, overflow the stack or leak (the sanitizers watch), and
// whatever it accepts must be an ordinary map: it encodes again, that
// encoding decodes to the same map, and the number of objects the codec
// handed out equals the number released once the maps are gone.
#include <atomic>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "cache/value_codec.hpp"
#include "fuzz_support.hpp"
#include "graph_data.hpp"

const char* const fuzz::kFuzzTarget = "fuzz_value_codec";

namespace {

using quillon::DataKind;
using quillon::DataMap;
using quillon::GraphData;
using quillon::PyObjectRef;

using fuzz::check;

std::atomic<long> g_live_objects{0};

void release_tag(void*) { g_live_objects.fetch_sub(1); }

class TagCodec final : public quillon::ObjectCodec {
 public:
  std::optional<std::string> encode(const PyObjectRef& object, std::string&) const override {
    return "obj:" + std::to_string(reinterpret_cast<std::uintptr_t>(object.get()));
  }
  std::optional<PyObjectRef> decode(std::string_view bytes) const override {
    if (!bytes.starts_with("obj:")) return std::nullopt;
    std::uintptr_t tag = 0;
    const char* end = bytes.data() + bytes.size();
    const auto [ptr, ec] = std::from_chars(bytes.data() + 4, end, tag);
    if (ec != std::errc() || ptr != end || tag == 0) return std::nullopt;
    g_live_objects.fetch_add(1);
    return PyObjectRef::steal(reinterpret_cast<void*>(tag));
  }
};

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
    case DataKind::kFloat:
      return std::bit_cast<std::uint64_t>(a.as_float()) == std::bit_cast<std::uint64_t>(b.as_float());
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool kHooks = [] {
    quillon::set_py_object_hooks(quillon::PyObjectHooks{nullptr, &release_tag, nullptr});
    return true;
  }();
  (void)kHooks;
  static const TagCodec codec;

  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  {
    const std::optional<DataMap> decoded = quillon::decode_outputs(bytes, &codec);
    if (decoded) {
      std::string problem;
      const std::optional<std::string> encoded = quillon::encode_outputs(*decoded, &codec, problem);
      check(encoded.has_value(), "a decoded map does not encode again", problem);
      const std::optional<DataMap> again = quillon::decode_outputs(*encoded, &codec);
      check(again.has_value(), "the encoding of a decoded map does not decode");
      check(same(*decoded, *again), "a decoded map changed on its way through the encoding");
    }
    // Without a codec, the same bytes decode only if they hold no object.
    const std::optional<DataMap> plain = quillon::decode_outputs(bytes, nullptr);
    check(!plain || decoded, "bytes decode without a codec but not with one");
  }
  check(g_live_objects.load() == 0, "decoded objects were not released");
  return 0;
}
