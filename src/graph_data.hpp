// GraphData: the one value type carried between nodes.
//
// A tagged value of eight kinds whose tag numbers are fixed (other layers
// switch on them). Text, vector payloads and nested maps are immutable and shared
// through atomic reference counts, so copying a value costs the same whatever
// its size and values may be copied and dropped on any thread. A PyObject
// value is an opaque shared owner of one reference to a Python object; the
// engine never calls into Python itself but goes through the hooks that the
// Python layer installs (PyObjectHooks). Values are safe to read from several
// threads at once; a single value is not safe to assign concurrently.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace quillon {

class GraphData;

// Maps keyed by text: execution contexts, input maps, output maps, Map
// payloads. Iteration order is unspecified.
using DataMap = std::unordered_map<std::string, GraphData>;

enum class DataKind : std::uint8_t {
  kInt = 0,
  kFloat = 1,
  kString = 2,
  kFloatVec = 3,
  kIntVec = 4,
  kMap = 5,
  kPyObject = 6,
  kNone = 7,
};

// What the engine needs from the Python layer to hold Python objects. All
// four are called with an opaque object pointer (a PyObject* to the Python
// layer). `release` drops one strong reference and must cope with being
// called on a thread that does not hold the interpreter lock (the Python
// layer defers it). `as_f64` takes the interpreter lock itself and returns
// false when the object does not convert; it leaves no pending Python error.
// `content_digest` takes the lock itself and writes the 32-byte digest of
// the object's content to `out`, or returns false when the object has none;
// it leaves no pending Python error, and throws RunInterrupted when user
// code it ran asked to stop the run. Without it no object has a digest.
struct PyObjectHooks {
  void (*retain)(void* object) = nullptr;
  void (*release)(void* object) = nullptr;
  bool (*as_f64)(void* object, double* out) = nullptr;
  bool (*content_digest)(void* object, std::uint8_t* out) = nullptr;
};

// Installs the hooks process-wide. Requires: called before any PyObject value
// exists (the Python module does it once at import). Not thread-safe against
// concurrent use of PyObject values.
void set_py_object_hooks(const PyObjectHooks& hooks);
const PyObjectHooks& py_object_hooks();

// Shared owner of one strong reference to a Python object. Copies share the
// owner (one atomic increment, no Python call); when the last copy goes, the
// one reference is handed to the `release` hook.
class PyObjectRef {
 public:
  // Takes over a reference the caller already owns (no retain).
  static PyObjectRef steal(void* object);
  // Takes a new reference through the `retain` hook.
  static PyObjectRef borrow(void* object);

  void* get() const noexcept { return owner_ ? owner_->object : nullptr; }
  long use_count() const noexcept { return owner_.use_count(); }
  friend bool operator==(const PyObjectRef& a, const PyObjectRef& b) noexcept {
    return a.get() == b.get();
  }

 private:
  struct Owner {
    void* object;
    explicit Owner(void* o) : object(o) {}
    ~Owner();
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;
  };
  std::shared_ptr<const Owner> owner_;
};

using FloatVecPtr = std::shared_ptr<const std::vector<double>>;
using IntVecPtr = std::shared_ptr<const std::vector<std::int64_t>>;
using MapPtr = std::shared_ptr<const DataMap>;

class GraphData {
 public:
  GraphData() noexcept : value_(std::monostate{}) {}  // None
  static GraphData none() { return GraphData(); }
  static GraphData from_int(std::int64_t v) { return GraphData(Payload(v)); }
  static GraphData from_float(double v) { return GraphData(Payload(v)); }
  static GraphData from_string(std::string v) {
    return GraphData(Payload(std::make_shared<const std::string>(std::move(v))));
  }
  static GraphData from_float_vec(std::vector<double> v);
  static GraphData from_float_vec(FloatVecPtr v);
  static GraphData from_int_vec(std::vector<std::int64_t> v);
  static GraphData from_int_vec(IntVecPtr v);
  static GraphData from_map(DataMap v);
  static GraphData from_py_object(PyObjectRef v) { return GraphData(Payload(std::move(v))); }

  DataKind kind() const noexcept { return static_cast<DataKind>(value_.index()); }

  // Accessors; each requires the matching kind.
  std::int64_t as_int() const { return std::get<std::int64_t>(value_); }
  double as_float() const { return std::get<double>(value_); }
  const std::string& as_string() const { return *std::get<StringPtr>(value_); }
  const std::vector<double>& as_float_vec() const { return *std::get<FloatVecPtr>(value_); }
  const FloatVecPtr& float_vec_ptr() const { return std::get<FloatVecPtr>(value_); }
  const std::vector<std::int64_t>& as_int_vec() const { return *std::get<IntVecPtr>(value_); }
  const IntVecPtr& int_vec_ptr() const { return std::get<IntVecPtr>(value_); }
  const DataMap& as_map() const { return *std::get<MapPtr>(value_); }
  const PyObjectRef& as_py_object() const { return std::get<PyObjectRef>(value_); }

  // Numeric view: Int and Float directly, PyObject through the `as_f64` hook
  // (which takes the interpreter lock); absent for every other kind.
  std::optional<double> as_f64_lossy() const;

  // Replaces this value with `other`; Int and Float are assigned without
  // dispatching on the held kind.
  void assign(GraphData&& other) noexcept {
    if (const auto* d = std::get_if<double>(&other.value_)) {
      value_ = *d;
    } else if (const auto* i = std::get_if<std::int64_t>(&other.value_)) {
      value_ = *i;
    } else {
      value_ = std::move(other.value_);
    }
  }

 private:
  // Alternative order follows the tags: kind() is the variant index.
  // Text is shared like the vectors, which keeps every value at 24 bytes.
  using StringPtr = std::shared_ptr<const std::string>;
  using Payload = std::variant<std::int64_t, double, StringPtr, FloatVecPtr, IntVecPtr,
                               MapPtr, PyObjectRef, std::monostate>;
  explicit GraphData(Payload p) noexcept : value_(std::move(p)) {}
  Payload value_;
};

static_assert(sizeof(GraphData) <= 24, "values stay small: contexts and buffers hold them by value");

// "Int", "Float", ... as the kind's own name, for diagnostics.
std::string_view kind_name(DataKind kind) noexcept;

}  // namespace quillon
