#include "python_bindings/content_key.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include "python_bindings/errors.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/interpreter_control.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

namespace {

// Containers nested deeper than this are pickled instead of walked, which
// bounds the C stack and copes with containers that hold themselves.
constexpr int kMaxNesting = 64;

// Buffers at least this large are hashed without the interpreter lock, so
// that other threads run meanwhile.
constexpr Py_ssize_t kUnlockedHashBytes = Py_ssize_t{1} << 20;

// Strided buffers are gathered into a scratch block of this size at most.
constexpr std::size_t kScratchBytes = std::size_t{64} << 10;

// The first byte of every encoding.
namespace tag {
constexpr char kNone = 'N';
constexpr char kTrue = 'T';
constexpr char kFalse = 'F';
constexpr char kInt = 'I';
constexpr char kFloat = 'D';
constexpr char kStr = 'S';
constexpr char kBytes = 'Y';
constexpr char kTuple = '(';
constexpr char kList = '[';
constexpr char kDict = '{';
constexpr char kSet = '<';
constexpr char kFrozenSet = '>';
constexpr char kKeyed = 'K';
constexpr char kBuffer = 'A';
constexpr char kPandas = 'P';
constexpr char kPickled = 'Q';
}  // namespace tag

void feed_tag(ContentHasher& hasher, char t) { hasher.update(&t, 1); }

void feed_u64(ContentHasher& hasher, std::uint64_t value) {
  std::array<unsigned char, 8> bytes;
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  hasher.update(bytes.data(), bytes.size());
}

// A length-prefixed byte string, so that consecutive strings cannot run together.
void feed_text(ContentHasher& hasher, std::string_view text) {
  feed_u64(hasher, text.size());
  hasher.update(text);
}

// After a failed Python call: an exception that stops runs stays pending,
// any other is cleared.
DigestOutcome failure() {
  if (pending_error_stops_run()) return DigestOutcome::kStopped;
  PyErr_Clear();
  return DigestOutcome::kCannot;
}

// The bytes of a str or bytes result; lone surrogates are kept.
bool text_bytes(PyObject* object, PyRef& holder, std::string_view& out) {
  if (PyBytes_Check(object)) {
    out = std::string_view(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
    return true;
  }
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(object, &size)) {
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  PyErr_Clear();
  holder = PyRef::steal(PyUnicode_AsEncodedString(object, "utf-8", "surrogatepass"));
  if (!holder) return false;
  out = std::string_view(PyBytes_AS_STRING(holder.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(holder.get())));
  return true;
}

DigestOutcome digest_value(PyObject* object, int depth, ContentDigest& out);

// "0x1f" / "-0x1f": the same text for every int, whatever its size (hex
// has no length limit, unlike decimal conversion).
DigestOutcome digest_int(PyObject* object, ContentDigest& out) {
  ContentHasher hasher;
  feed_tag(hasher, tag::kInt);
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow == 0) {
    if (value == -1 && PyErr_Occurred()) return failure();
    char buffer[24];
    char* at = buffer;
    unsigned long long magnitude = static_cast<unsigned long long>(value);
    if (value < 0) {
      *at++ = '-';
      magnitude = 0 - magnitude;
    }
    *at++ = '0';
    *at++ = 'x';
    const auto [end, ec] = std::to_chars(at, std::end(buffer), magnitude, 16);
    feed_text(hasher, std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
  } else {
    PyRef text = PyRef::steal(PyNumber_ToBase(object, 16));
    if (!text) return failure();
    PyRef holder;
    std::string_view bytes;
    if (!text_bytes(text.get(), holder, bytes)) return failure();
    feed_text(hasher, bytes);
  }
  out = hasher.finish();
  return DigestOutcome::kDigested;
}

// Tag, count and the digests of `items` (a tuple), sorted when the
// container has no order of its own.
DigestOutcome digest_items(char t, PyObject* items, bool sort, int depth, ContentDigest& out) {
  const Py_ssize_t count = PyTuple_GET_SIZE(items);
  std::vector<ContentDigest> digests(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const DigestOutcome outcome = digest_value(PyTuple_GET_ITEM(items, i), depth + 1, digests[static_cast<std::size_t>(i)]);
    if (outcome != DigestOutcome::kDigested) return outcome;
  }
  if (sort) std::sort(digests.begin(), digests.end());
  ContentHasher hasher;
  feed_tag(hasher, t);
  feed_u64(hasher, digests.size());
  for (const ContentDigest& digest : digests) hasher.update(digest.data(), digest.size());
  out = hasher.finish();
  return DigestOutcome::kDigested;
}

// Entries as (key digest, value digest) pairs in ascending order, so that
// equal dicts built in different orders agree.
DigestOutcome digest_dict(PyObject* dict, int depth, ContentDigest& out) {
  PyRef entries = PyRef::steal(PyDict_Items(dict));  // a snapshot: user code below may change the dict
  if (!entries) return failure();
  const Py_ssize_t count = PyList_GET_SIZE(entries.get());
  std::vector<std::array<ContentDigest, 2>> pairs(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* entry = PyList_GET_ITEM(entries.get(), i);  // borrowed (key, value) tuple
    auto& pair = pairs[static_cast<std::size_t>(i)];
    for (int side = 0; side < 2; ++side) {
      const DigestOutcome outcome = digest_value(PyTuple_GET_ITEM(entry, side), depth + 1, pair[side]);
      if (outcome != DigestOutcome::kDigested) return outcome;
    }
  }
  std::sort(pairs.begin(), pairs.end());
  ContentHasher hasher;
  feed_tag(hasher, tag::kDict);
  feed_u64(hasher, pairs.size());
  for (const auto& pair : pairs) {
    hasher.update(pair[0].data(), pair[0].size());
    hasher.update(pair[1].data(), pair[1].size());
  }
  out = hasher.finish();
  return DigestOutcome::kDigested;
}

// Feeds the elements of a strided buffer in C order without copying it
// whole: rows whose items are adjacent go to the hasher directly, other
// rows through a scratch block.
void feed_strided(ContentHasher& hasher, const Py_buffer& view) {
  const int ndim = view.ndim;
  const auto itemsize = static_cast<std::size_t>(view.itemsize);
  const Py_ssize_t row_length = view.shape[ndim - 1];
  const Py_ssize_t row_stride = view.strides[ndim - 1];
  std::vector<Py_ssize_t> index(static_cast<std::size_t>(ndim - 1), 0);
  std::vector<unsigned char> scratch;
  for (;;) {
    const char* row = static_cast<const char*>(view.buf);
    for (int d = 0; d + 1 < ndim; ++d) row += index[static_cast<std::size_t>(d)] * view.strides[d];
    if (static_cast<std::size_t>(row_stride) == itemsize) {
      hasher.update(row, static_cast<std::size_t>(row_length) * itemsize);
    } else {
      if (scratch.empty()) scratch.resize(std::max(kScratchBytes, itemsize));
      std::size_t filled = 0;
      for (Py_ssize_t i = 0; i < row_length; ++i) {
        if (filled + itemsize > scratch.size()) {
          hasher.update(scratch.data(), filled);
          filled = 0;
        }
        std::memcpy(scratch.data() + filled, row + i * row_stride, itemsize);
        filled += itemsize;
      }
      hasher.update(scratch.data(), filled);
    }
    // Next row: an odometer over every dimension but the last.
    int d = ndim - 2;
    for (; d >= 0; --d) {
      if (++index[static_cast<std::size_t>(d)] < view.shape[d]) break;
      index[static_cast<std::size_t>(d)] = 0;
    }
    if (d < 0) return;
  }
}

// Format, item size, shape and the elements in C order: two arrays with the
// same dtype, shape and values agree whatever their strides.
DigestOutcome digest_buffer(PyObject* object, bool& applies, ContentDigest& out) {
  applies = false;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
    // Not every exporter gives strided views of every dtype (object arrays, say).
    if (pending_error_stops_run()) return DigestOutcome::kStopped;
    PyErr_Clear();
    return DigestOutcome::kCannot;
  }
  struct Releaser {
    Py_buffer* view;
    ~Releaser() { PyBuffer_Release(view); }
  } releaser{&view};
  applies = true;
  ContentHasher hasher;
  feed_tag(hasher, tag::kBuffer);
  feed_text(hasher, view.format != nullptr ? std::string_view(view.format) : std::string_view("B"));
  feed_u64(hasher, static_cast<std::uint64_t>(view.itemsize));
  feed_u64(hasher, static_cast<std::uint64_t>(view.ndim));
  bool empty = false;
  for (int d = 0; d < view.ndim; ++d) {
    feed_u64(hasher, static_cast<std::uint64_t>(view.shape[d]));
    if (view.shape[d] == 0) empty = true;
  }
  if (!empty) {
    const bool contiguous = view.ndim == 0 || PyBuffer_IsContiguous(&view, 'C');
    auto feed = [&] {
      if (contiguous) {
        hasher.update(view.buf, static_cast<std::size_t>(view.len));
      } else {
        feed_strided(hasher, view);
      }
    };
    if (view.len >= kUnlockedHashBytes) {
      // The export keeps the memory alive and its layout fixed meanwhile.
      GilRelease unlocked;
      feed();
    } else {
      feed();
    }
  }
  out = hasher.finish();
  return DigestOutcome::kDigested;
}

// The digest of attribute `name` of `object` (or of the result of calling
// it without arguments when `call`).
DigestOutcome digest_attribute(PyObject* object, const char* name, bool call, int depth, ContentDigest& out) {
  PyRef value = PyRef::steal(call ? PyObject_CallMethod(object, name, nullptr) : PyObject_GetAttrString(object, name));
  if (!value) return failure();
  return digest_value(value.get(), depth + 1, out);
}

// pandas objects by pandas' own row hashes (deterministic: a fixed hash
// key), plus what those hashes leave out. `applies` is false for objects
// that are not pandas DataFrames, Series or Indexes.
DigestOutcome digest_pandas(PyObject* object, int depth, bool& applies, ContentDigest& out) {
  applies = false;
  PyRef module_name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
  if (!module_name) return failure();
  const char* module = PyUnicode_Check(module_name.get()) ? PyUnicode_AsUTF8(module_name.get()) : nullptr;
  if (module == nullptr) {
    PyErr_Clear();
    return DigestOutcome::kCannot;
  }
  if (std::strncmp(module, "pandas", 6) != 0 || (module[6] != '\0' && module[6] != '.')) return DigestOutcome::kCannot;
  PyRef pandas_name = PyRef::steal(PyUnicode_FromString("pandas"));
  if (!pandas_name) return failure();
  PyRef pandas = PyRef::steal(PyImport_GetModule(pandas_name.get()));
  if (!pandas) return PyErr_Occurred() ? failure() : DigestOutcome::kCannot;

  char kind = 0;
  for (const auto& [name, letter] : {std::pair{"DataFrame", 'F'}, std::pair{"Series", 'S'}, std::pair{"Index", 'X'}}) {
    PyRef cls = PyRef::steal(PyObject_GetAttrString(pandas.get(), name));
    if (!cls) return failure();
    const int is = PyObject_IsInstance(object, cls.get());
    if (is < 0) return failure();
    if (is == 1) {
      kind = letter;
      break;
    }
  }
  if (kind == 0) return DigestOutcome::kCannot;
  applies = true;

  // Row hashes without the index, which is digested on its own below.
  PyRef util = PyRef::steal(PyObject_GetAttrString(pandas.get(), "util"));
  if (!util) return failure();
  PyRef hash_function = PyRef::steal(PyObject_GetAttrString(util.get(), "hash_pandas_object"));
  if (!hash_function) return failure();
  PyRef args = PyRef::steal(PyTuple_Pack(1, object));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{s:O}", "index", Py_False));
  if (!args || !kwargs) return failure();
  PyRef hashes = PyRef::steal(PyObject_Call(hash_function.get(), args.get(), kind == 'X' ? nullptr : kwargs.get()));
  if (!hashes) return failure();
  PyRef hash_array = PyRef::steal(PyObject_CallMethod(hashes.get(), "to_numpy", nullptr));
  if (!hash_array) return failure();

  ContentHasher hasher;
  feed_tag(hasher, tag::kPandas);
  feed_tag(hasher, kind);
  ContentDigest part;
  auto add = [&](DigestOutcome outcome) {
    if (outcome == DigestOutcome::kDigested) hasher.update(part.data(), part.size());
    return outcome;
  };
  DigestOutcome outcome = add(digest_value(hash_array.get(), depth + 1, part));
  if (outcome != DigestOutcome::kDigested) return outcome;
  if (kind == 'X') {
    // An Index: its dtype and level names.
    PyRef dtype = PyRef::steal(PyObject_GetAttrString(object, "dtype"));
    if (!dtype) return failure();
    PyRef dtype_text = PyRef::steal(PyObject_Str(dtype.get()));
    if (!dtype_text) return failure();
    if ((outcome = add(digest_value(dtype_text.get(), depth + 1, part))) != DigestOutcome::kDigested) return outcome;
    PyRef names = PyRef::steal(PyObject_GetAttrString(object, "names"));
    if (!names) return failure();
    PyRef name_list = PyRef::steal(PySequence_List(names.get()));
    if (!name_list) return failure();
    outcome = add(digest_value(name_list.get(), depth + 1, part));
  } else {
    if ((outcome = add(digest_attribute(object, "index", false, depth, part))) != DigestOutcome::kDigested) {
      return outcome;
    }
    if (kind == 'F') {
      if ((outcome = add(digest_attribute(object, "columns", false, depth, part))) != DigestOutcome::kDigested) {
        return outcome;
      }
      PyRef dtypes = PyRef::steal(PyObject_GetAttrString(object, "dtypes"));
      if (!dtypes) return failure();
      PyRef texts = PyRef::steal(PyObject_CallMethod(dtypes.get(), "astype", "O", reinterpret_cast<PyObject*>(&PyUnicode_Type)));
      if (!texts) return failure();
      outcome = add(digest_attribute(texts.get(), "tolist", true, depth, part));
    } else {
      PyRef dtype = PyRef::steal(PyObject_GetAttrString(object, "dtype"));
      if (!dtype) return failure();
      PyRef dtype_text = PyRef::steal(PyObject_Str(dtype.get()));
      if (!dtype_text) return failure();
      if ((outcome = add(digest_value(dtype_text.get(), depth + 1, part))) != DigestOutcome::kDigested) return outcome;
      outcome = add(digest_attribute(object, "name", false, depth, part));
    }
  }
  if (outcome != DigestOutcome::kDigested) return outcome;
  out = hasher.finish();
  return DigestOutcome::kDigested;
}

// "module.qualname" of the object's type.
bool type_name(PyObject* object, std::string& out) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  for (const char* part : {"__module__", "__qualname__"}) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(type, part));
    if (!value) return false;
    PyRef holder;
    std::string_view text;
    if (!PyUnicode_Check(value.get()) || !text_bytes(value.get(), holder, text)) {
      PyErr_Clear();
      text = "?";
    }
    if (!out.empty()) out += '.';
    out.append(text);
  }
  return true;
}

// An object whose type defines __quillon_key__. `applies` is false for
// every other object.
DigestOutcome digest_keyed(PyObject* object, bool& applies, ContentDigest& out) {
  applies = false;
  PyRef method = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__quillon_key__"));
  if (!method) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      return DigestOutcome::kCannot;
    }
    return failure();
  }
  applies = true;
  PyRef key = PyRef::steal(PyObject_CallMethod(object, "__quillon_key__", nullptr));
  if (!key) return failure();
  if (!PyBytes_Check(key.get()) && !PyUnicode_Check(key.get())) return DigestOutcome::kCannot;
  std::string name;
  if (!type_name(object, name)) return failure();
  PyRef holder;
  std::string_view bytes;
  if (!text_bytes(key.get(), holder, bytes)) return failure();
  ContentHasher hasher;
  feed_tag(hasher, tag::kKeyed);
  feed_text(hasher, name);
  feed_tag(hasher, PyBytes_Check(key.get()) ? 'b' : 's');
  feed_text(hasher, bytes);
  out = hasher.finish();
  return DigestOutcome::kDigested;
}

DigestOutcome digest_pickled(PyObject* object, ContentDigest& out) {
  PyRef pickle = PyRef::steal(PyImport_ImportModule("pickle"));
  if (!pickle) return failure();
  PyRef bytes = PyRef::steal(PyObject_CallMethod(pickle.get(), "dumps", "Oi", object, 5));
  if (!bytes) return failure();
  if (!PyBytes_Check(bytes.get())) return DigestOutcome::kCannot;
  ContentHasher hasher;
  feed_tag(hasher, tag::kPickled);
  hasher.update(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  out = hasher.finish();
  return DigestOutcome::kDigested;
}

DigestOutcome digest_scalar(char t, std::string_view payload, ContentDigest& out) {
  ContentHasher hasher;
  feed_tag(hasher, t);
  feed_text(hasher, payload);
  out = hasher.finish();
  return DigestOutcome::kDigested;
}

DigestOutcome digest_value(PyObject* object, int depth, ContentDigest& out) {
  if (object == Py_None) return digest_scalar(tag::kNone, {}, out);
  if (object == Py_True) return digest_scalar(tag::kTrue, {}, out);
  if (object == Py_False) return digest_scalar(tag::kFalse, {}, out);
  if (PyLong_CheckExact(object)) return digest_int(object, out);
  if (PyFloat_CheckExact(object)) {
    const auto bits = std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(object));
    ContentHasher hasher;
    feed_tag(hasher, tag::kFloat);
    feed_u64(hasher, bits);
    out = hasher.finish();
    return DigestOutcome::kDigested;
  }
  if (PyUnicode_CheckExact(object) || PyBytes_CheckExact(object)) {
    PyRef holder;
    std::string_view bytes;
    if (!text_bytes(object, holder, bytes)) return failure();
    return digest_scalar(PyBytes_CheckExact(object) ? tag::kBytes : tag::kStr, bytes, out);
  }
  const bool container = PyTuple_CheckExact(object) || PyList_CheckExact(object) || PyDict_CheckExact(object) ||
                         PyAnySet_CheckExact(object);
  if (container && depth >= kMaxNesting) return digest_pickled(object, out);
  if (PyTuple_CheckExact(object)) return digest_items(tag::kTuple, object, false, depth, out);
  if (PyList_CheckExact(object)) {
    PyRef items = PyRef::steal(PyList_AsTuple(object));  // a snapshot of the items
    if (!items) return failure();
    return digest_items(tag::kList, items.get(), false, depth, out);
  }
  if (PyDict_CheckExact(object)) return digest_dict(object, depth, out);
  if (PyAnySet_CheckExact(object)) {
    PyRef items = PyRef::steal(PySequence_Tuple(object));
    if (!items) return failure();
    return digest_items(PyFrozenSet_CheckExact(object) ? tag::kFrozenSet : tag::kSet, items.get(), true, depth, out);
  }

  bool applies = false;
  DigestOutcome outcome = digest_keyed(object, applies, out);
  if (applies || outcome == DigestOutcome::kStopped) return outcome;
  if (PyObject_CheckBuffer(object)) {
    outcome = digest_buffer(object, applies, out);
    if (applies || outcome == DigestOutcome::kStopped) return outcome;
  }
  outcome = digest_pandas(object, depth, applies, out);
  if (outcome == DigestOutcome::kStopped || (applies && outcome == DigestOutcome::kDigested)) return outcome;
  // What pandas could not hash (cells without a hash, say) may still pickle.
  return digest_pickled(object, out);
}

}  // namespace

DigestOutcome content_digest(PyObject* object, ContentDigest& out) { return digest_value(object, 0, out); }

bool content_digest_hook(void* object, std::uint8_t* out) {
  GilGuard gil;
  ErrorScope keep_pending;  // whatever was pending before stays so afterwards
  ContentDigest digest;
  switch (content_digest(static_cast<PyObject*>(object), digest)) {
    case DigestOutcome::kDigested:
      std::memcpy(out, digest.data(), digest.size());
      return true;
    case DigestOutcome::kCannot:
      return false;
    case DigestOutcome::kStopped:
      break;
  }
  throw_run_interrupted();
}

}  // namespace quillon::py
