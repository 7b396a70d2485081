#include "python_bindings/convert.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python_bindings/args.hpp"
#include "python_bindings/container_walk.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

namespace {

// The interpreter's float conversion can only succeed for float subclasses
// and types with __float__ or __index__; checking the slots first spares
// building and discarding an exception for lists, strings, None and the like.
bool may_convert_to_float(PyObject* object) noexcept {
  if (PyFloat_Check(object) || PyLong_Check(object)) return true;
  const PyNumberMethods* nb = Py_TYPE(object)->tp_as_number;
  return nb != nullptr && (nb->nb_float != nullptr || nb->nb_index != nullptr);
}

bool may_convert_to_int(PyObject* object) noexcept {
  if (PyLong_Check(object)) return true;
  const PyNumberMethods* nb = Py_TYPE(object)->tp_as_number;
  return nb != nullptr && nb->nb_index != nullptr;
}

// The float conversion of one object. On failure the error is discarded.
// May run Python code (__float__, __index__): the caller holds a reference.
bool to_double(PyObject* object, double* out) noexcept {
  if (PyFloat_CheckExact(object)) {
    *out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  if (!may_convert_to_float(object)) return false;
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  *out = value;
  return true;
}

// The integer conversion (__index__, signed 64-bit). On failure the error is
// discarded.
bool to_int64(PyObject* object, std::int64_t* out) noexcept {
  if (!may_convert_to_int(object)) return false;
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    PyErr_Clear();
    return false;
  }
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  *out = static_cast<std::int64_t>(value);
  return true;
}

// ---- Numeric buffers ----------------------------------------------------

enum class ElementKind { kFloat32, kFloat64, kSigned, kUnsigned };

// Buffer exporters whose sequence protocol yields exactly the buffer's
// elements as Python numbers. Subclasses and other exporters may index
// differently, so they take the sequence path.
bool is_trusted_buffer_type(PyObject* object) noexcept {
  if (PyBytes_CheckExact(object) || PyByteArray_CheckExact(object) || PyMemoryView_Check(object)) return true;
  const char* name = Py_TYPE(object)->tp_name;
  return std::strcmp(name, "numpy.ndarray") == 0 || std::strcmp(name, "array.array") == 0;
}

// Element kind of a one-item struct format in native or little-endian byte
// order ("d", "<f", "=q", "@B"); absent for anything whose items are not
// plain Python floats or ints (bool, complex, chars, objects, records,
// big-endian data, half floats).
std::optional<ElementKind> numeric_element_kind(const char* format, Py_ssize_t itemsize) noexcept {
  if (format == nullptr) format = "B";
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
  const auto sized = [itemsize](ElementKind kind) -> std::optional<ElementKind> {
    if (itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8) return kind;
    return std::nullopt;
  };
  switch (format[0]) {
    case 'f':
      return itemsize == 4 ? std::optional(ElementKind::kFloat32) : std::nullopt;
    case 'd':
      return itemsize == 8 ? std::optional(ElementKind::kFloat64) : std::nullopt;
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      return sized(ElementKind::kSigned);
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      return sized(ElementKind::kUnsigned);
    default:
      return std::nullopt;
  }
}

template <typename T>
T load(const char* p) noexcept {
  T value;
  std::memcpy(&value, p, sizeof(T));
  return value;
}

double load_integer(const char* p, Py_ssize_t size, bool is_signed) noexcept {
  if (is_signed) {
    switch (size) {
      case 1: return static_cast<double>(load<std::int8_t>(p));
      case 2: return static_cast<double>(load<std::int16_t>(p));
      case 4: return static_cast<double>(load<std::int32_t>(p));
      default: return static_cast<double>(load<std::int64_t>(p));
    }
  }
  switch (size) {
    case 1: return static_cast<double>(load<std::uint8_t>(p));
    case 2: return static_cast<double>(load<std::uint16_t>(p));
    case 4: return static_cast<double>(load<std::uint32_t>(p));
    default: return static_cast<double>(load<std::uint64_t>(p));
  }
}

// The float vector of a contiguous one-dimensional numeric buffer, or absent
// when the object should take the sequence path. Leaves no error behind.
std::optional<GraphData> numeric_buffer_to_graph_data(PyObject* object) {
  if (!is_trusted_buffer_type(object)) return std::nullopt;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  struct Releaser {
    Py_buffer* view;
    ~Releaser() { PyBuffer_Release(view); }
  } releaser{&view};
  if (view.ndim != 1 || view.itemsize <= 0 || !PyBuffer_IsContiguous(&view, 'C')) return std::nullopt;
  const auto kind = numeric_element_kind(view.format, view.itemsize);
  if (!kind) return std::nullopt;
  const auto count = static_cast<std::size_t>(view.len / view.itemsize);
  const char* data = static_cast<const char*>(view.buf);
  std::vector<double> values(count);
  switch (*kind) {
    case ElementKind::kFloat64:
      if (count > 0) std::memcpy(values.data(), data, count * sizeof(double));
      break;
    case ElementKind::kFloat32:
      for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<double>(load<float>(data + i * 4));
      break;
    case ElementKind::kSigned:
    case ElementKind::kUnsigned: {
      const bool is_signed = *kind == ElementKind::kSigned;
      const auto size = view.itemsize;
      for (std::size_t i = 0; i < count; ++i) values[i] = load_integer(data + i * size, size, is_signed);
      break;
    }
  }
  return GraphData::from_float_vec(std::move(values));
}

// ---- Sequences -----------------------------------------------------------

enum class ItemFailure { kNone, kMaybeInt, kNotInt };

// Step 4: every item through the float conversion. On failure reports
// whether the failing item could still pass the integer conversion (an item
// the sequence refused to give counts as one that could).
ItemFailure sequence_to_doubles(SequenceItems& items, std::vector<double>& out) {
  out.reserve(static_cast<std::size_t>(items.size_hint()));
  ItemFailure failure = ItemFailure::kNone;
  const WalkResult walked = items.for_each([&](PyObject* item) {
    double value = 0.0;
    if (to_double(item, &value)) {
      out.push_back(value);
      return true;
    }
    failure = may_convert_to_int(item) ? ItemFailure::kMaybeInt : ItemFailure::kNotInt;
    return false;
  });
  if (walked == WalkResult::kReadFailed) {
    PyErr_Clear();
    return ItemFailure::kMaybeInt;
  }
  return failure;
}

// Step 5: every item through the integer conversion.
bool sequence_to_int64s(SequenceItems& items, std::vector<std::int64_t>& out) {
  out.reserve(static_cast<std::size_t>(items.size_hint()));
  const WalkResult walked = items.for_each([&](PyObject* item) {
    std::int64_t value = 0;
    if (!to_int64(item, &value)) return false;
    out.push_back(value);
    return true;
  });
  if (walked == WalkResult::kReadFailed) PyErr_Clear();
  return walked == WalkResult::kCompleted;
}

// Both passes convert the items a list or tuple held when the conversion
// began (container_walk.hpp): code run by one item's conversion may change
// the list, never the values converted. Other sequences are read by index,
// each pass asking them again.
std::optional<GraphData> sequence_to_graph_data(PyObject* object) {
  if (PyUnicode_Check(object)) return std::nullopt;
  if (auto buffered = numeric_buffer_to_graph_data(object)) return buffered;
  if (!PySequence_Check(object)) return std::nullopt;
  SequenceItems items(object, SequenceReading::kIndex);
  std::vector<double> doubles;
  const ItemFailure failure = sequence_to_doubles(items, doubles);
  if (failure == ItemFailure::kNone) return GraphData::from_float_vec(std::move(doubles));
  // For lists and tuples the integer pass would meet the failing item again,
  // so when that item cannot be an integer the pass is not worth trying.
  const bool stable_items = PyList_CheckExact(object) || PyTuple_CheckExact(object);
  if (failure == ItemFailure::kNotInt && stable_items) return std::nullopt;
  std::vector<std::int64_t> ints;
  if (sequence_to_int64s(items, ints)) return GraphData::from_int_vec(std::move(ints));
  return std::nullopt;
}

GraphData opaque(PyObject* object) {
  // Taking the reference here, under the lock, then handing it over.
  Py_INCREF(object);
  return GraphData::from_py_object(PyObjectRef::steal(object));
}

// ---- GraphData -> Python -------------------------------------------------

template <typename T, typename Make>
PyObject* vector_to_list(const std::vector<T>& values, Make make) noexcept {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = make(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

}  // namespace

GraphData python_to_graph_data(PyObject* object) {
  // The common kinds first, none of which runs Python code.
  if (PyFloat_CheckExact(object)) return GraphData::from_float(PyFloat_AS_DOUBLE(object));
  // A pending error of the caller is kept out of the way of the conversions
  // below, which test PyErr_Occurred(), and restored afterwards.
  ErrorScope keep_pending;
  if (PyLong_CheckExact(object)) {
    const double value = PyLong_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
      // Beyond the float range, hence beyond 64 bits too: an opaque handle.
      PyErr_Clear();
      return opaque(object);
    }
    return GraphData::from_float(value);
  }
  if (object == Py_None || PyDict_CheckExact(object)) return opaque(object);

  PyRef hold = PyRef::borrow(object);  // conversions below may run Python code
  double d = 0.0;
  if (to_double(object, &d)) return GraphData::from_float(d);
  std::int64_t i = 0;
  if (to_int64(object, &i)) return GraphData::from_int(i);
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data != nullptr) return GraphData::from_string(std::string(data, static_cast<std::size_t>(size)));
    PyErr_Clear();  // a lone surrogate: not text, and never a sequence
    return opaque(object);
  }
  if (auto sequence = sequence_to_graph_data(object)) return std::move(*sequence);
  return opaque(object);
}

PyObject* graph_data_to_python(const GraphData& value) noexcept {
  switch (value.kind()) {
    case DataKind::kInt:
      return PyLong_FromLongLong(value.as_int());
    case DataKind::kFloat:
      return PyFloat_FromDouble(value.as_float());
    case DataKind::kString: {
      const std::string& text = value.as_string();
      return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    }
    case DataKind::kFloatVec:
      return vector_to_list(value.as_float_vec(), [](double v) { return PyFloat_FromDouble(v); });
    case DataKind::kIntVec:
      return vector_to_list(value.as_int_vec(), [](std::int64_t v) { return PyLong_FromLongLong(v); });
    case DataKind::kMap:
      // Nothing the Python layer hands the engine becomes a Map, and no run
      // makes one, so a Map reaching Python is an internal error.
      PyErr_SetString(PyExc_SystemError, "an engine Map value has no Python form");
      return nullptr;
    case DataKind::kPyObject: {
      auto* object = static_cast<PyObject*>(value.as_py_object().get());
      if (object == nullptr) object = Py_None;
      Py_INCREF(object);
      return object;
    }
    case DataKind::kNone:
      break;
  }
  Py_RETURN_NONE;
}

NamePairs parse_mapping(PyObject* object, const char* argument) {
  NamePairs pairs;
  if (PyDict_Check(object)) {
    pairs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(object)));
    for_each_entry(object, [&](PyObject* key, PyObject* value) {
      std::string first = to_string(key, argument);
      std::string second = to_string(value, argument);
      pairs.emplace_back(std::move(first), std::move(second));
      return true;
    });
    return pairs;
  }
  if (PyList_Check(object)) {
    pairs.reserve(static_cast<std::size_t>(PyList_GET_SIZE(object)));
    for_each_item(object, [&](PyObject* item) {
      if (!PyTuple_Check(item)) raise_argument_type_error(argument, "tuple", item);
      const Py_ssize_t length = PyTuple_GET_SIZE(item);
      if (length != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length %d, but got tuple of length %zd", 2, length);
        throw_python_error();
      }
      // The walk holds the tuple, and the tuple its two names.
      std::string first = to_string(PyTuple_GET_ITEM(item, 0), argument);
      std::string second = to_string(PyTuple_GET_ITEM(item, 1), argument);
      pairs.emplace_back(std::move(first), std::move(second));
      return true;
    });
    return pairs;
  }
  raise(PyExc_ValueError, "inputs/outputs must be a dict or list of tuples");
}

}  // namespace quillon::py
