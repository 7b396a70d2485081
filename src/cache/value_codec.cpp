#include "cache/value_codec.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quillon {

// The byte form, format version 1. Every number is little-endian and of
// fixed width; a "text" is a u64 byte count followed by the bytes.
//
//   outputs := magic "QLNV" (4 bytes), version u32, map
//   map     := count u64, count x (name text, kind u8, payload)
//   payload by kind (the DataKind tag numbers):
//     Int       i64
//     Float     u64 (the IEEE-754 bit pattern, so every NaN payload survives)
//     String    text
//     FloatVec  count u64, count x u64 bit patterns
//     IntVec    count u64, count x i64
//     Map       map (nested one level deeper)
//     PyObject  text (the bytes the ObjectCodec made)
//     None      nothing
//
// A map nests at most kMaxNesting maps below the outputs. The string is
// exactly one outputs record: trailing bytes make it unreadable.

namespace {

constexpr char kMagic[4] = {'Q', 'L', 'N', 'V'};
constexpr std::uint32_t kFormatVersion = 1;
constexpr int kMaxNesting = 64;

// The smallest record a map entry can be (an empty name and a None value);
// bounds how many entries the remaining bytes can hold.
constexpr std::size_t kMinEntryBytes = 8 + 1;
constexpr std::uint64_t kReserveAtMost = 64;

constexpr bool kLittleEndian = std::endian::native == std::endian::little;
static_assert(kLittleEndian || std::endian::native == std::endian::big, "mixed-endian targets are not supported");

// Copies `count` 8-byte numbers between native and little-endian order.
void copy_words_le(void* to, const void* from, std::size_t count) noexcept {
  if (count == 0) return;
  if constexpr (kLittleEndian) {
    std::memcpy(to, from, count * 8);
  } else {
    auto* out = static_cast<unsigned char*>(to);
    const auto* in = static_cast<const unsigned char*>(from);
    for (std::size_t i = 0; i < count; ++i) {
      for (int b = 0; b < 8; ++b) out[i * 8 + b] = in[i * 8 + 7 - b];
    }
  }
}

// --- Encoding --------------------------------------------------------------

// Encoding walks the map twice: the first walk checks every value, asks the
// codec for the bytes of opaque ones and adds up the size, the second writes
// into a string of exactly that size, so large vectors are copied once.
// Both walks visit an unchanged map, hence in the same order.
class Encoder {
 public:
  Encoder(const ObjectCodec* codec, std::string& problem) : codec_(codec), problem_(problem) {}

  bool measure(const DataMap& map, int depth, const std::string& output) {
    size_ += 8;
    for (const auto& [name, value] : map) {
      const std::string& top = depth == 0 ? name : output;
      size_ += 8 + name.size() + 1;
      switch (value.kind()) {
        case DataKind::kInt:
        case DataKind::kFloat: size_ += 8; break;
        case DataKind::kString: size_ += 8 + value.as_string().size(); break;
        case DataKind::kFloatVec: size_ += 8 + value.as_float_vec().size() * 8; break;
        case DataKind::kIntVec: size_ += 8 + value.as_int_vec().size() * 8; break;
        case DataKind::kMap:
          if (depth + 1 > kMaxNesting) {
            return fail(top, "maps nested more than " + std::to_string(kMaxNesting) + " deep");
          }
          if (!measure(value.as_map(), depth + 1, top)) return false;
          break;
        case DataKind::kPyObject: {
          if (codec_ == nullptr) return fail(top, "no codec for an opaque value");
          std::string reason;
          std::optional<std::string> bytes = codec_->encode(value.as_py_object(), reason);
          if (!bytes) return fail(top, reason.empty() ? "the opaque value could not be encoded" : reason);
          size_ += 8 + bytes->size();
          objects_.push_back(std::move(*bytes));
          break;
        }
        case DataKind::kNone: break;
      }
    }
    return true;
  }

  std::string write(const DataMap& map) {
    out_ = make_encoding_buffer(size_);
    at_ = 0;
    put_bytes(kMagic, sizeof kMagic);
    put_u32(kFormatVersion);
    write_map(map);
    assert(at_ == size_ && next_object_ == objects_.size());
    return std::move(out_);
  }

  // The header is not part of what measure counts.
  void add_header() { size_ += sizeof kMagic + 4; }

 private:
  bool fail(const std::string& output, const std::string& reason) {
    problem_ = "output '" + output + "': " + reason;
    return false;
  }

  void write_map(const DataMap& map) {
    put_u64(map.size());
    for (const auto& [name, value] : map) {
      put_text(name.data(), name.size());
      put_u8(static_cast<std::uint8_t>(value.kind()));
      switch (value.kind()) {
        case DataKind::kInt: put_u64(static_cast<std::uint64_t>(value.as_int())); break;
        case DataKind::kFloat: put_u64(std::bit_cast<std::uint64_t>(value.as_float())); break;
        case DataKind::kString: put_text(value.as_string().data(), value.as_string().size()); break;
        case DataKind::kFloatVec: put_words(value.as_float_vec().data(), value.as_float_vec().size()); break;
        case DataKind::kIntVec: put_words(value.as_int_vec().data(), value.as_int_vec().size()); break;
        case DataKind::kMap: write_map(value.as_map()); break;
        case DataKind::kPyObject: {
          const std::string& bytes = objects_[next_object_++];
          put_text(bytes.data(), bytes.size());
          break;
        }
        case DataKind::kNone: break;
      }
    }
  }

  void put_bytes(const void* data, std::size_t n) {
    if (n == 0) return;
    std::memcpy(out_.data() + at_, data, n);
    at_ += n;
  }
  void put_u8(std::uint8_t v) { out_[at_++] = static_cast<char>(v); }
  void put_u32(std::uint32_t v) {
    unsigned char b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
    put_bytes(b, 4);
  }
  void put_u64(std::uint64_t v) {
    unsigned char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
    put_bytes(b, 8);
  }
  void put_text(const char* data, std::size_t n) {
    put_u64(n);
    put_bytes(data, n);
  }
  void put_words(const void* data, std::size_t count) {
    put_u64(count);
    copy_words_le(out_.data() + at_, data, count);
    at_ += count * 8;
  }

  const ObjectCodec* codec_;
  std::string& problem_;
  std::size_t size_ = 0;
  std::vector<std::string> objects_;  // codec bytes, in walk order
  std::size_t next_object_ = 0;
  std::string out_;
  std::size_t at_ = 0;
};

// --- Decoding --------------------------------------------------------------

// Reads from a bounded byte range. Every read checks the remaining length
// first, and every declared length is checked against the remaining bytes
// before anything is allocated for it, so no input can make the decoder read
// past its end or allocate more than a small multiple of the input's size.
class Decoder {
 public:
  Decoder(std::string_view bytes, const ObjectCodec* codec) : in_(bytes), codec_(codec) {}

  std::optional<DataMap> decode() {
    if (!take_magic()) return std::nullopt;
    std::uint32_t version = 0;
    if (!take_u32(version) || version != kFormatVersion) return std::nullopt;
    DataMap map;
    if (!take_map(map, 0)) return std::nullopt;
    if (at_ != in_.size()) return std::nullopt;
    return map;
  }

 private:
  std::size_t remaining() const noexcept { return in_.size() - at_; }

  bool take_magic() {
    if (remaining() < sizeof kMagic || std::memcmp(in_.data(), kMagic, sizeof kMagic) != 0) return false;
    at_ += sizeof kMagic;
    return true;
  }
  bool take_u8(std::uint8_t& v) {
    if (remaining() < 1) return false;
    v = static_cast<std::uint8_t>(in_[at_++]);
    return true;
  }
  bool take_u32(std::uint32_t& v) {
    if (remaining() < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{static_cast<unsigned char>(in_[at_ + i])} << (8 * i);
    at_ += 4;
    return true;
  }
  bool take_u64(std::uint64_t& v) {
    if (remaining() < 8) return false;
    v = 0;
    for (int i = 0; i < 8; ++i) v |= std::uint64_t{static_cast<unsigned char>(in_[at_ + i])} << (8 * i);
    at_ += 8;
    return true;
  }
  // A text's bytes, as a view into the input.
  bool take_text(std::string_view& text) {
    std::uint64_t n = 0;
    if (!take_u64(n) || n > remaining()) return false;
    text = in_.substr(at_, static_cast<std::size_t>(n));
    at_ += static_cast<std::size_t>(n);
    return true;
  }
  template <typename Number>
  bool take_words(std::vector<Number>& out) {
    static_assert(sizeof(Number) == 8);
    std::uint64_t count = 0;
    if (!take_u64(count) || count > remaining() / 8) return false;
    out.resize(static_cast<std::size_t>(count));
    copy_words_le(out.data(), in_.data() + at_, out.size());
    at_ += out.size() * 8;
    return true;
  }

  bool take_map(DataMap& map, int depth) {
    std::uint64_t count = 0;
    if (!take_u64(count) || count > remaining() / kMinEntryBytes) return false;
    // Room for a few entries only: each nesting level reserves before its
    // first entry is read, and a count is only a claim until then.
    map.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, kReserveAtMost)));
    for (std::uint64_t i = 0; i < count; ++i) {
      std::string_view name;
      std::uint8_t kind = 0;
      if (!take_text(name) || !take_u8(kind)) return false;
      std::optional<GraphData> value = take_value(kind, depth);
      // A name twice means the bytes were not made by an encoder.
      if (!value || !map.try_emplace(std::string(name), std::move(*value)).second) return false;
    }
    return true;
  }

  std::optional<GraphData> take_value(std::uint8_t kind, int depth) {
    switch (kind) {
      case static_cast<std::uint8_t>(DataKind::kInt): {
        std::uint64_t v = 0;
        if (!take_u64(v)) return std::nullopt;
        return GraphData::from_int(static_cast<std::int64_t>(v));
      }
      case static_cast<std::uint8_t>(DataKind::kFloat): {
        std::uint64_t v = 0;
        if (!take_u64(v)) return std::nullopt;
        return GraphData::from_float(std::bit_cast<double>(v));
      }
      case static_cast<std::uint8_t>(DataKind::kString): {
        std::string_view text;
        if (!take_text(text)) return std::nullopt;
        return GraphData::from_string(std::string(text));
      }
      case static_cast<std::uint8_t>(DataKind::kFloatVec): {
        std::vector<double> v;
        if (!take_words(v)) return std::nullopt;
        return GraphData::from_float_vec(std::move(v));
      }
      case static_cast<std::uint8_t>(DataKind::kIntVec): {
        std::vector<std::int64_t> v;
        if (!take_words(v)) return std::nullopt;
        return GraphData::from_int_vec(std::move(v));
      }
      case static_cast<std::uint8_t>(DataKind::kMap): {
        if (depth + 1 > kMaxNesting) return std::nullopt;
        DataMap inner;
        if (!take_map(inner, depth + 1)) return std::nullopt;
        return GraphData::from_map(std::move(inner));
      }
      case static_cast<std::uint8_t>(DataKind::kPyObject): {
        std::string_view bytes;
        if (!take_text(bytes) || codec_ == nullptr) return std::nullopt;
        std::optional<PyObjectRef> object = codec_->decode(bytes);
        if (!object || object->get() == nullptr) return std::nullopt;
        return GraphData::from_py_object(std::move(*object));
      }
      case static_cast<std::uint8_t>(DataKind::kNone): return GraphData::none();
      default: return std::nullopt;  // a kind this build does not know
    }
  }

  std::string_view in_;
  std::size_t at_ = 0;
  const ObjectCodec* codec_;
};

}  // namespace

void advise_large_buffer([[maybe_unused]] void* data, [[maybe_unused]] std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::size_t kLargeFrom = std::size_t{4} << 20;
  constexpr std::uintptr_t kPage = 4096;
  if (size < kLargeFrom) return;
  // Only whole pages inside the buffer; large allocations are mappings of
  // their own, so the advice touches nothing else.
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kPage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

std::string make_encoding_buffer(std::size_t size) {
  std::string buffer;
  buffer.reserve(size);  // maps the memory without touching it
  advise_large_buffer(buffer.data(), size);
  buffer.resize(size);
  return buffer;
}

std::optional<std::string> encode_outputs(const DataMap& outputs, const ObjectCodec* codec, std::string& problem) {
  Encoder encoder(codec, problem);
  encoder.add_header();
  if (!encoder.measure(outputs, 0, std::string())) return std::nullopt;
  return encoder.write(outputs);
}

std::optional<DataMap> decode_outputs(std::string_view bytes, const ObjectCodec* codec) {
  try {
    return Decoder(bytes, codec).decode();
  } catch (const std::bad_alloc&) {
    // Every allocation is bounded by the input's size; running out of memory
    // for one entry makes it unreadable, like any other damage.
    return std::nullopt;
  }
}

}  // namespace quillon
