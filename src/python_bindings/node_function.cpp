#include "python_bindings/node_function.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python_bindings/call_failure.hpp"
#include "python_bindings/container_walk.hpp"
#include "python_bindings/content_key.hpp"
#include "python_bindings/convert.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/py_ref.hpp"
#include "python_bindings/release_queue.hpp"
#include "python_bindings/interpreter_control.hpp"

namespace quillon::py {

namespace {

// Prints the pending exception with its traceback to sys.stderr (through
// sys.excepthook, without setting sys.last_*) and clears it. Only ever an
// Exception: anything else stops the run instead of being printed.
void print_pending_exception() noexcept { PyErr_PrintEx(0); }

// "TypeName: message" of the pending exception, which is cleared.
PyRef describe_pending_exception() noexcept {
  ErrorScope error;
  PyObject* exception = error.exception();  // borrowed from `error`
  PyObject* type = exception != nullptr ? reinterpret_cast<PyObject*>(Py_TYPE(exception)) : nullptr;
  PyRef name = PyRef::steal(type != nullptr ? PyObject_GetAttrString(type, "__name__") : nullptr);
  if (!name) PyErr_Clear();
  PyRef text = PyRef::steal(exception != nullptr ? PyObject_Str(exception) : nullptr);
  if (!text) PyErr_Clear();
  PyRef described = PyRef::steal(PyUnicode_FromFormat("%S: %S", name ? name.get() : Py_None,
                                                      text ? text.get() : Py_None));
  if (!described) PyErr_Clear();
  error.drop();
  return described;
}

// A failure's report: the line naming the node of `site`, then `body` (when
// not null), in one write, so that the reports of concurrent calls never
// run into each other.
void write_failure(const CallSite& site, PyObject* body) noexcept {
  PyRef header;
  try {
    const std::string text = "quillon: " + describe_node(site) + " failed:\n";
    header = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  } catch (const std::bad_alloc&) {
  }
  PyRef joined = header && body != nullptr ? PyRef::steal(PyUnicode_Concat(header.get(), body)) : PyRef();
  PyErr_Clear();
  if (joined) {
    write_to_stderr(joined.get());
    return;
  }
  if (header) write_to_stderr(header.get());
  if (body != nullptr) write_to_stderr(body);
}

// The pending exception with its traceback as the interpreter's own hook
// prints it, as one str; the exception is then taken. Null, with the
// exception still pending, when sys.excepthook was replaced (the caller
// prints through the hook instead) or the text could not be made. A
// run-stopping exception raised meanwhile (a signal's) is thrown on as
// RunInterrupted.
PyRef format_pending_exception() {
  PyObject* hook = PySys_GetObject("excepthook");         // borrowed
  PyObject* original = PySys_GetObject("__excepthook__");  // borrowed
  if (hook == nullptr || hook != original) return PyRef();
  ErrorScope error;
  PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
  PyRef lines = module ? PyRef::steal(PyObject_CallMethod(module.get(), "format_exception", "O", error.exception()))
                       : PyRef();
  PyRef empty = lines ? PyRef::steal(PyUnicode_FromString("")) : PyRef();
  PyRef text = empty ? PyRef::steal(PyUnicode_Join(empty.get(), lines.get())) : PyRef();
  if (!text) {
    if (pending_error_stops_run()) {
      error.drop();
      throw_run_interrupted();
    }
    PyErr_Clear();
    return PyRef();  // `error` puts the exception back
  }
  error.drop();
  return text;
}

// Interned str objects for the impl names a function has seen, so that the
// per-call input dict reuses keys with their hash already computed.
// Invariant: only touched with the interpreter lock held, which serialises
// the concurrent calls of one function.
class KeyCache {
 public:
  static constexpr std::size_t kCapacity = 16;

  // The key for `name`: borrowed from the cache, or when the cache is full a
  // new reference handed to `holder`. Null with a Python error set on failure.
  PyObject* key_for(std::string_view name, PyRef& holder) {
    for (std::size_t i = 0; i < count_; ++i) {
      const Entry& entry = i < kInline ? inline_[i] : spilled_[i - kInline];
      if (same_name(entry.name, name)) return entry.key;
    }
    PyObject* key = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
    if (key == nullptr) return nullptr;
    PyUnicode_InternInPlace(&key);
    holder = PyRef::steal(key);
    if (count_ < kCapacity) {
      Py_INCREF(key);
      Entry entry{std::string(name), key, PyObjectRef::steal(key)};
      if (count_ < kInline) {
        inline_[count_] = std::move(entry);
      } else {
        spilled_.push_back(std::move(entry));
      }
      ++count_;
    }
    return key;
  }

 private:
  struct Entry {
    std::string name;
    PyObject* key = nullptr;  // owned by `owner`; read without going through it
    PyObjectRef owner;        // releases through the deferred path, so the cache
                              // may be destroyed on an engine thread
  };
  // The first names live in the function object itself, next to the rest
  // of what a call reads.
  static constexpr std::size_t kInline = 2;
  std::size_t count_ = 0;
  std::array<Entry, kInline> inline_;
  std::vector<Entry> spilled_;
};

// A read-only buffer of doubles lent out by the engine, kept alive by its
// owner for as long as any array over it lives. numpy.frombuffer turns it
// into an array without copying.
struct LentColumnObject {
  PyObject_HEAD
  std::shared_ptr<const void> owner;
  const double* data;
  Py_ssize_t length;
};

int lent_column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* lent = reinterpret_cast<LentColumnObject*>(self);
  return PyBuffer_FillInfo(view, self, const_cast<double*>(lent->data),
                           lent->length * static_cast<Py_ssize_t>(sizeof(double)), 1, flags);
}

void lent_column_dealloc(PyObject* self) {
  auto* lent = reinterpret_cast<LentColumnObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  lent->owner.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot kLentColumnSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(lent_column_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(lent_column_getbuffer)},
    {0, nullptr},
};

PyType_Spec kLentColumnSpec = {"quillon._LentColumn", sizeof(LentColumnObject), 0, Py_TPFLAGS_DEFAULT,
                               kLentColumnSlots};

// A read-only float64 array over `input`'s values, sharing them with the
// engine through their owner. Null with a Python error on failure.
PyRef lend_column(PyObject* frombuffer, const BlockInput& input) {
  // Made once per process and never freed: instances may outlive the module.
  static PyObject* type = PyType_FromSpec(&kLentColumnSpec);
  if (type == nullptr) return PyRef();
  auto* lent = PyObject_New(LentColumnObject, reinterpret_cast<PyTypeObject*>(type));
  if (lent == nullptr) return PyRef();
  new (&lent->owner) std::shared_ptr<const void>(input.owner);
  lent->data = input.values.data();
  lent->length = static_cast<Py_ssize_t>(input.values.size());
  PyRef buffer = PyRef::steal(reinterpret_cast<PyObject*>(lent));
  PyRef dtype = PyRef::steal(PyUnicode_FromString("float64"));
  if (!dtype) return PyRef();
  return PyRef::steal(PyObject_CallFunctionObjArgs(frombuffer, buffer.get(), dtype.get(), nullptr));
}

class PythonNodeFunction final : public NodeCallable {
 public:
  explicit PythonNodeFunction(PyObject* callable) : callable_raw_(callable) {
    Py_INCREF(callable);  // held by the owner below; released through the hook
    callable_ = PyObjectRef::steal(callable);
  }

  std::optional<std::string> call_block(const BlockInput* inputs, std::size_t count, std::size_t length,
                                        BlockSink& sink, const CallSite& /*site*/) const override {
    GilGuard gil;
    return call_for_run([&] { return call_block_locked(inputs, count, length, sink); },
                        [] { return std::optional<std::string>(refuse_with_pending_exception()); });
  }

  bool call(const NamedValue* inputs, std::size_t count, OutputSink& sink, const CallSite& site) const override {
    GilGuard gil;
    // Running out of memory while converting values is this node's failure,
    // reported like a Python error; the run goes on.
    return call_for_run([&] { return call_locked(inputs, count, sink, site); },
                        [&] { return fail_with_pending_exception(site); });
  }

 private:
  // Requires: the interpreter lock. False when the call failed (reported
  // as the site asks); throws RunInterrupted when the run must stop.
  bool call_locked(const NamedValue* inputs, std::size_t count, OutputSink& sink, const CallSite& site) const {
    PyRef args = PyRef::steal(PyDict_New());
    if (!args) [[unlikely]] return fail_with_pending_exception(site);
    for (std::size_t i = 0; i < count; ++i) {
      PyRef spilled_key;
      PyObject* key = keys_.key_for(inputs[i].name, spilled_key);
      const GraphData& value = *inputs[i].value;
      PyRef item = key == nullptr                         ? PyRef()
                   : value.kind() == DataKind::kFloat ? PyRef::steal(PyFloat_FromDouble(value.as_float()))
                                                      : PyRef::steal(graph_data_to_python(value));
      if (!item || PyDict_SetItem(args.get(), key, item.get()) != 0) [[unlikely]] {
        return report_input_error(inputs[i].name, site);
      }
    }
    PyRef result = PyRef::steal(PyObject_CallOneArg(callable_raw_, args.get()));
    args = PyRef();
    if (!result) [[unlikely]] return fail_with_pending_exception(site);
    if (!PyDict_Check(result.get())) [[unlikely]] return report_not_a_dict(result.get(), site);
    read_outputs(result.get(), sink);
    return true;
  }

  // Requires: the interpreter lock. One call with a new float64 array per
  // input; nothing when every wanted output was a number or a numeric
  // array of `length` values, otherwise why not.
  std::optional<std::string> call_block_locked(const BlockInput* inputs, std::size_t count, std::size_t length,
                                               BlockSink& sink) const {
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
      if (pending_error_stops_run()) throw_run_interrupted();
      PyErr_Clear();
      return "numpy is needed to call a node on arrays: pip install numpy";
    }
    PyRef empty = PyRef::steal(PyObject_GetAttrString(numpy.get(), "empty"));
    PyRef frombuffer = PyRef::steal(PyObject_GetAttrString(numpy.get(), "frombuffer"));
    PyRef size = PyRef::steal(PyLong_FromSize_t(length));
    PyRef args = PyRef::steal(PyDict_New());
    if (!empty || !frombuffer || !size || !args) return refuse_with_pending_exception();
    for (std::size_t i = 0; i < count; ++i) {
      // Values with an owner are lent read-only; the others are copied.
      PyRef array;
      if (inputs[i].owner && length != 0) {
        array = lend_column(frombuffer.get(), inputs[i]);
      } else {
        array = PyRef::steal(PyObject_CallOneArg(empty.get(), size.get()));  // float64 by default
        if (array && !fill_array(array.get(), inputs[i].values)) array = PyRef();
      }
      if (!array) return refuse_with_pending_exception();
      PyRef spilled_key;
      PyObject* key = keys_.key_for(inputs[i].name, spilled_key);
      if (key == nullptr || PyDict_SetItem(args.get(), key, array.get()) != 0) return refuse_with_pending_exception();
    }
    PyRef result = PyRef::steal(PyObject_CallOneArg(callable_raw_, args.get()));
    args = PyRef();
    if (!result) return refuse_with_pending_exception();
    if (!PyDict_Check(result.get())) return "the function did not return a dict";
    PyRef ndarray = PyRef::steal(PyObject_GetAttrString(numpy.get(), "ndarray"));
    PyRef generic = PyRef::steal(PyObject_GetAttrString(numpy.get(), "generic"));
    if (!ndarray || !generic) return refuse_with_pending_exception();
    // The wanted outputs in dict order, checked, before any is offered.
    std::vector<BlockOffer> offers;
    std::optional<std::string> refusal;
    for_each_entry(result.get(), [&](PyObject* key, PyObject* value) {
      if (!PyUnicode_Check(key)) return true;
      Py_ssize_t key_size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(key, &key_size);
      if (data == nullptr) {
        PyErr_Clear();
        return true;
      }
      const std::string_view name(data, static_cast<std::size_t>(key_size));
      const int index = sink.index_for(name);
      if (index < 0) return true;
      refusal = read_block_output(name, value, length, ndarray.get(), generic.get(), index, offers);
      return !refusal && PyErr_Occurred() == nullptr;
    });
    if (PyErr_Occurred()) return refuse_with_pending_exception();
    if (refusal) return refusal;
    // An array that only the returned dict held is taken over as it is once
    // the dict is gone: nothing else can reach it, so nothing can change it.
    result = PyRef();
    for (BlockOffer& offer : offers) {
      if (!offer.array) {
        if (offer.values) {
          sink.put_column(offer.index, std::move(offer.values));
        } else {
          sink.put_number(offer.index, offer.number);
        }
        continue;
      }
      Py_buffer view;
      if (PyObject_GetBuffer(offer.array.get(), &view, PyBUF_C_CONTIGUOUS) != 0) {
        return refuse_with_pending_exception();
      }
      const std::span<const double> values(static_cast<const double*>(view.buf),
                                           static_cast<std::size_t>(view.len) / sizeof(double));
      PyBuffer_Release(&view);  // the array itself keeps its memory
      if (Py_REFCNT(offer.array.get()) == 1) {
        auto owner = std::make_shared<const PyObjectRef>(PyObjectRef::steal(offer.array.release()));
        sink.put_column(offer.index, std::make_shared<const Samples>(std::move(owner), values));
      } else {
        sink.put_column(offer.index, make_samples(std::vector<double>(values.begin(), values.end())));
      }
    }
    return std::nullopt;
  }

  // One wanted output of a block call: a number, a column read out, or an
  // array of float64 that owns its memory, to take over or copy.
  struct BlockOffer {
    int index;
    double number = 0.0;
    SampleVector values;
    PyRef array;
  };

  // Copies `values` into the float64 array `array` of as many elements.
  static bool fill_array(PyObject* array, std::span<const double> values) {
    Py_buffer view;
    if (PyObject_GetBuffer(array, &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) return false;
    const bool fits = static_cast<std::size_t>(view.len) == values.size_bytes();
    if (fits && !values.empty()) std::memcpy(view.buf, values.data(), values.size_bytes());
    PyBuffer_Release(&view);
    if (!fits) PyErr_SetString(PyExc_RuntimeError, "numpy.empty gave an array of another size");
    return fits;
  }

  // Output `name`: a Python int or float as a number for every draw, a
  // numpy scalar or 0-d array likewise, a 1-D numpy array of integers or
  // floats with `length` elements as a column. Anything else is why the
  // block is refused.
  static std::optional<std::string> read_block_output(std::string_view name, PyObject* value, std::size_t length,
                                                      PyObject* ndarray, PyObject* generic, int index,
                                                      std::vector<BlockOffer>& offers) {
    const std::string quoted = "output '" + std::string(name) + "'";
    if (PyFloat_Check(value)) {
      offers.push_back({index, PyFloat_AS_DOUBLE(value), nullptr, PyRef()});
      return std::nullopt;
    }
    if (PyLong_Check(value) && !PyBool_Check(value)) {
      const double number = PyLong_AsDouble(value);
      if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return quoted + " is an int too large for a float";
      }
      offers.push_back({index, number, nullptr, PyRef()});
      return std::nullopt;
    }
    const int is_array = PyObject_IsInstance(value, ndarray);
    const int is_scalar = is_array == 1 ? 0 : PyObject_IsInstance(value, generic);
    if (is_array < 0 || is_scalar < 0) return std::nullopt;  // the caller takes the pending error
    if (is_array == 0 && is_scalar == 0) {
      return quoted + " is a " + std::string(Py_TYPE(value)->tp_name) + ", not a number or a numeric array";
    }
    Py_buffer view;
    if (PyObject_GetBuffer(value, &view, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      return quoted + " has no readable buffer";
    }
    std::optional<std::string> refusal = read_buffer(quoted, value, view, length, index, ndarray, offers);
    PyBuffer_Release(&view);
    return refusal;
  }

  // The numbers of a 0-d or 1-d buffer of native integers or floats. An
  // exact ndarray of contiguous float64 that owns its memory is offered as
  // itself, to be read once it is known who else holds it.
  static std::optional<std::string> read_buffer(const std::string& quoted, PyObject* value, const Py_buffer& view,
                                                std::size_t length, int index, PyObject* ndarray,
                                                std::vector<BlockOffer>& offers) {
    std::string_view format = view.format != nullptr ? view.format : "B";
    if (!format.empty() && (format.front() == '@' || format.front() == '=' ||
                            (format.front() == '<' && std::endian::native == std::endian::little))) {
      format.remove_prefix(1);
    }
    const char code = format.size() == 1 ? format.front() : '\0';
    if (code == '\0' || std::string_view("dfbBhHiIlLqQ").find(code) == std::string_view::npos) {
      return quoted + " has elements of format '" + std::string(view.format != nullptr ? view.format : "B") +
             "', not integers or floats";
    }
    if (view.ndim > 1) return quoted + " has " + std::to_string(view.ndim) + " dimensions, not 1";
    const std::size_t count = view.ndim == 0 ? 1 : static_cast<std::size_t>(view.shape[0]);
    if (view.ndim == 1 && count != length) {
      return quoted + " has " + std::to_string(count) + " values for a block of " + std::to_string(length);
    }
    const Py_ssize_t stride = view.ndim == 0 ? view.itemsize : view.strides[0];
    const char* at = static_cast<const char*>(view.buf);
    if (view.ndim == 0) {
      offers.push_back({index, element_at(code, at), nullptr, PyRef()});
      return std::nullopt;
    }
    const bool packed = code == 'd' && stride == static_cast<Py_ssize_t>(sizeof(double));
    if (packed && count != 0 && Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(ndarray)) {
      PyRef base = PyRef::steal(PyObject_GetAttrString(value, "base"));
      if (!base) return std::nullopt;  // the caller takes the pending error
      if (base.get() == Py_None) {
        offers.push_back({index, 0.0, nullptr, PyRef::borrow(value)});
        return std::nullopt;
      }
    }
    std::vector<double> values;
    if (packed) {
      const auto* first = static_cast<const double*>(view.buf);
      values.assign(first, first + count);
    } else {
      values.resize(count);
      for (std::size_t k = 0; k < count; ++k, at += stride) values[k] = element_at(code, at);
    }
    offers.push_back({index, 0.0, make_samples(std::move(values)), PyRef()});
    return std::nullopt;
  }

  static double element_at(char code, const char* at) {
    switch (code) {
      case 'd': return load<double>(at);
      case 'f': return load<float>(at);
      case 'b': return load<signed char>(at);
      case 'B': return load<unsigned char>(at);
      case 'h': return load<short>(at);
      case 'H': return load<unsigned short>(at);
      case 'i': return load<int>(at);
      case 'I': return load<unsigned int>(at);
      case 'l': return static_cast<double>(load<long>(at));
      case 'L': return static_cast<double>(load<unsigned long>(at));
      case 'q': return static_cast<double>(load<long long>(at));
      default: return static_cast<double>(load<unsigned long long>(at));
    }
  }
  template <typename T>
  static T load(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof(T));
    return value;
  }

  // Why a block call failed with the pending exception, which is taken: a
  // run-stopping exception is thrown on as RunInterrupted.
  [[gnu::cold, gnu::noinline]] static std::string refuse_with_pending_exception() {
    if (pending_error_stops_run()) throw_run_interrupted();
    PyRef described = describe_pending_exception();
    const char* text = described ? PyUnicode_AsUTF8(described.get()) : nullptr;
    std::string reason = text != nullptr ? text : "the call failed";
    PyErr_Clear();
    return reason;
  }

  // The failure of the call at `site` with the pending exception, which is
  // taken: a run-stopping exception is thrown on as RunInterrupted; any
  // other is printed with its traceback under the site's header line, or
  // dropped when the site does not report. Returns false.
  [[gnu::cold, gnu::noinline]] static bool fail_with_pending_exception(const CallSite& site) {
    if (pending_error_stops_run()) throw_run_interrupted();
    if (!site.report) {
      PyErr_Clear();
      return false;
    }
    note_pending_exception();
    if (PyRef text = format_pending_exception()) {
      write_failure(site, text.get());
    } else {
      write_failure(site, nullptr);
      print_pending_exception();
    }
    return false;
  }

  // The failure of a call that returned `result`, which is not a dict,
  // reported as the site asks. Returns false.
  [[gnu::cold, gnu::noinline]] static bool report_not_a_dict(PyObject* result, const CallSite& site) {
    if (!site.report) return false;
    note_not_a_dict(result);
    PyRef line = PyRef::steal(PyUnicode_FromString("Error: Python function did not return a dict\n"));
    if (!line) PyErr_Clear();
    write_failure(site, line.get());
    return false;
  }

  // Writes "Error setting input" with the pending error, which is cleared.
  [[gnu::cold, gnu::noinline]] static bool report_input_error(std::string_view name, const CallSite& site) {
    if (pending_error_stops_run()) throw_run_interrupted();
    if (!site.report) {
      PyErr_Clear();
      return false;
    }
    PyRef described = describe_pending_exception();
    PyRef line = PyRef::steal(PyUnicode_FromFormat("Error setting input '%s': %S\n", std::string(name).c_str(),
                                                   described ? described.get() : Py_None));
    if (!line) PyErr_Clear();
    if (const char* reason = line ? PyUnicode_AsUTF8(line.get()) : nullptr) {
      note_failure_line(reason);
    } else {
      PyErr_Clear();
    }
    write_failure(site, line.get());
    return false;
  }

  // Every str key of the returned dict that the sink wants, in dict order;
  // other keys and keys that are not valid text are skipped. The entries are
  // those the dict held when it was returned: converting a value may run code
  // that changes the dict, which then changes nothing here.
  static void read_outputs(PyObject* dict, OutputSink& sink) {
    for_each_entry(dict, [&sink](PyObject* key, PyObject* value) {
      // Exact str first: one load fewer than the subclass check.
      if (!PyUnicode_CheckExact(key) && !PyUnicode_Check(key)) return true;
      Py_ssize_t size = 0;
      const char* data = nullptr;
      if (PyUnicode_IS_COMPACT_ASCII(key)) {
        // ASCII text is its own UTF-8.
        data = static_cast<const char*>(PyUnicode_DATA(key));
        size = PyUnicode_GET_LENGTH(key);
      } else if ((data = PyUnicode_AsUTF8AndSize(key, &size)) == nullptr) {
        PyErr_Clear();
        return true;
      }
      const int slot = sink.index_for(std::string_view(data, static_cast<std::size_t>(size)));
      if (slot < 0) return true;
      if (PyFloat_CheckExact(value)) {
        sink.put(slot, GraphData::from_float(PyFloat_AS_DOUBLE(value)));
      } else {
        sink.put(slot, python_to_graph_data(value));
      }
      return true;
    });
  }

  PyObject* callable_raw_;  // owned by `callable_`; read without going through it
  PyObjectRef callable_;
  mutable KeyCache keys_;

  friend PyObject* quillon::py::held_callable(const NodeCallable& function) noexcept;
  friend bool quillon::py::offer_result(PyObject* result, OutputSink& sink, const CallSite& site);
  friend PyObject* quillon::py::python_callable(const NodeCallable& function) noexcept;
};

void hook_retain(void* object) { retain_reference(static_cast<PyObject*>(object)); }
void hook_release(void* object) { release_reference(static_cast<PyObject*>(object)); }

bool hook_as_f64(void* opaque_object, double* out) {
  auto* object = static_cast<PyObject*>(opaque_object);
  GilGuard gil;
  ErrorScope keep_pending;  // whatever was pending before stays so afterwards
  bool ok = false;
  const double d = PyFloat_AsDouble(object);
  if (!(d == -1.0 && PyErr_Occurred())) {
    *out = d;
    ok = true;
  } else {
    PyErr_Clear();
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (index) {
      const long long i = PyLong_AsLongLong(index.get());
      if (!(i == -1 && PyErr_Occurred())) {
        *out = static_cast<double>(i);
        ok = true;
      }
    }
    PyErr_Clear();
  }
  return ok;
}

}  // namespace

bool offer_result(PyObject* result, OutputSink& sink, const CallSite& site) {
  return call_for_run(
      [&] {
        if (!PyDict_Check(result)) return PythonNodeFunction::report_not_a_dict(result, site);
        PythonNodeFunction::read_outputs(result, sink);
        return true;
      },
      [&] { return PythonNodeFunction::fail_with_pending_exception(site); });
}

bool report_failure(const CallSite& site, PyObject* text, std::string_view reason) {
  if (!site.report) return false;
  note_failure_line(reason);
  write_failure(site, text);
  return false;
}

PyRef input_dict(std::span<const NamedValue> inputs) {
  PyRef dict = check(PyDict_New());
  for (const NamedValue& input : inputs) {
    PyRef key = check(PyUnicode_DecodeUTF8(input.name.data(), static_cast<Py_ssize_t>(input.name.size()), "replace"));
    const GraphData& value = *input.value;
    PyRef item = check(value.kind() == DataKind::kFloat ? PyFloat_FromDouble(value.as_float())
                                                        : graph_data_to_python(value));
    if (PyDict_SetItem(dict.get(), key.get(), item.get()) != 0) throw_python_error();
  }
  return dict;
}

NodeFunction create_python_node_function(PyObject* callable) {
  return std::make_shared<const PythonNodeFunction>(callable);
}

PyObject* held_callable(const NodeCallable& function) noexcept {
  const auto* python = dynamic_cast<const PythonNodeFunction*>(&function);
  if (python == nullptr || python->callable_.use_count() != 1) return nullptr;
  return python->callable_raw_;
}

PyObject* python_callable(const NodeCallable& function) noexcept {
  const auto* python = dynamic_cast<const PythonNodeFunction*>(&function);
  return python == nullptr ? nullptr : python->callable_raw_;
}

NodeFunction noop_node_function() {
  static const NodeFunction noop = make_node_function([](const DataMap&) { return NodeOutput{}; });
  return noop;
}

void install_py_object_hooks() {
  PyObjectHooks hooks;
  hooks.retain = &hook_retain;
  hooks.release = &hook_release;
  hooks.as_f64 = &hook_as_f64;
  hooks.content_digest = &content_digest_hook;
  set_py_object_hooks(hooks);
}

void write_to_stderr(PyObject* text) noexcept {
  ErrorScope keep_pending;  // restored once the write is done
  PyObject* stream = PySys_GetObject("stderr");  // borrowed
  if (stream != nullptr && stream != Py_None) {
    Py_INCREF(stream);  // write() may replace sys.stderr
    PyRef written = PyRef::steal(PyObject_CallMethod(stream, "write", "O", text));
    Py_DECREF(stream);
  }
  PyErr_Clear();
}

void write_to_stderr(const char* text) noexcept {
  PyRef line = PyRef::steal(PyUnicode_FromString(text));
  if (!line) {
    PyErr_Clear();
    return;
  }
  write_to_stderr(line.get());
}

}  // namespace quillon::py
