#include "python_bindings/pickle_codec.hpp"

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python_bindings/errors.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/interpreter_control.hpp"
#include "python_bindings/py_ref.hpp"

namespace quillon::py {

namespace {

// The bytes of one object:
//
//   pickle length u64, buffer count u64, count x buffer length u64,
//   the pickle stream, then each out-of-band buffer, every buffer starting
//   at a multiple of kAlignment from the start (zero bytes in between).
//
// Numbers are little-endian. The alignment lets arrays read back in place
// over the decoded copy keep their elements naturally aligned.
constexpr std::size_t kAlignment = 16;

std::size_t aligned(std::size_t at) { return (at + kAlignment - 1) / kAlignment * kAlignment; }

void put_u64(char* to, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) to[i] = static_cast<char>(v >> (8 * i));
}

std::uint64_t get_u64(const char* from) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= std::uint64_t{static_cast<unsigned char>(from[i])} << (8 * i);
  return v;
}

// Where the pieces of an encoding lie, checked against its size.
struct Layout {
  std::size_t pickle_at = 0;
  std::size_t pickle_size = 0;
  std::vector<std::pair<std::size_t, std::size_t>> buffers;  // (offset, size)
};

std::optional<Layout> read_layout(std::string_view bytes) {
  if (bytes.size() < 16) return std::nullopt;
  const std::uint64_t pickle_size = get_u64(bytes.data());
  const std::uint64_t count = get_u64(bytes.data() + 8);
  if (count > (bytes.size() - 16) / 8) return std::nullopt;
  Layout layout;
  std::size_t at = 16 + static_cast<std::size_t>(count) * 8;
  if (pickle_size > bytes.size() - at) return std::nullopt;
  layout.pickle_at = at;
  layout.pickle_size = static_cast<std::size_t>(pickle_size);
  at += layout.pickle_size;
  layout.buffers.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t size = get_u64(bytes.data() + 16 + i * 8);
    at = aligned(at);
    if (at > bytes.size() || size > bytes.size() - at) return std::nullopt;
    layout.buffers.emplace_back(at, static_cast<std::size_t>(size));
    at += static_cast<std::size_t>(size);
  }
  if (at != bytes.size()) return std::nullopt;
  return layout;
}

// The pending exception as "TypeName: message", taken (cleared). An
// exception that must stop the run is thrown on as RunInterrupted instead.
// Requires: the interpreter lock, an exception pending.
std::string take_failure() {
  if (pending_error_stops_run()) throw_run_interrupted();
  ErrorScope error;
  PyObject* exception = error.exception();  // borrowed from `error`
  if (exception == nullptr) return "unknown error";
  std::string text = type_name_of(exception);
  PyRef message = PyRef::steal(PyObject_Str(exception));
  Py_ssize_t size = 0;
  const char* utf8 = message ? PyUnicode_AsUTF8AndSize(message.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    // The exception's own text failed; a run-stopping failure there stops the run too.
    if (pending_error_stops_run()) {
      error.drop();
      throw_run_interrupted();
    }
    PyErr_Clear();
  } else if (size > 0) {
    text += ": ";
    text.append(utf8, static_cast<std::size_t>(size));
  }
  error.drop();
  return text;
}

// The attribute `name` of the pickle module; null with an error set.
PyRef pickle_function(const char* name) {
  PyRef module = PyRef::steal(PyImport_ImportModule("pickle"));
  return module ? PyRef::steal(PyObject_GetAttrString(module.get(), name)) : PyRef();
}

class PickleCodec final : public ObjectCodec {
 public:
  std::optional<std::string> encode(const PyObjectRef& object, std::string& problem) const override {
    GilGuard gil;  // first in, last out: every reference below is dropped with the lock held
    auto* target = static_cast<PyObject*>(object.get());
    if (target == nullptr) {
      problem = "no object to pickle";
      return std::nullopt;
    }
    PyRef dumps = pickle_function("dumps");
    PyRef buffers = dumps ? PyRef::steal(PyList_New(0)) : PyRef();
    PyRef collect = buffers ? PyRef::steal(PyObject_GetAttrString(buffers.get(), "append")) : PyRef();
    PyRef data = collect ? dump(dumps.get(), target, collect.get()) : PyRef();
    if (!data) {
      problem = take_failure();
      return std::nullopt;
    }

    // Buffers handed out of band are copied as they lie in memory; one that
    // is not contiguous (no exporter is expected to offer such) sends the
    // object through the stream instead.
    std::vector<const Py_buffer*> views;
    const Py_ssize_t count = PyList_GET_SIZE(buffers.get());
    views.reserve(static_cast<std::size_t>(count));
    bool in_band = false;
    for (Py_ssize_t i = 0; i < count && !in_band; ++i) {
      const Py_buffer* view = PyPickleBuffer_GetBuffer(PyList_GET_ITEM(buffers.get(), i));  // borrowed list item
      if (view == nullptr) {
        problem = take_failure();
        return std::nullopt;
      }
      if (!PyBuffer_IsContiguous(view, 'A')) in_band = true;
      views.push_back(view);
    }
    if (in_band) {
      views.clear();
      data = dump(dumps.get(), target, nullptr);
      if (!data) {
        problem = take_failure();
        return std::nullopt;
      }
    }

    const std::size_t pickle_size = static_cast<std::size_t>(PyBytes_GET_SIZE(data.get()));
    std::size_t size = 16 + views.size() * 8 + pickle_size;
    for (const Py_buffer* view : views) size = aligned(size) + static_cast<std::size_t>(view->len);
    std::string out = make_encoding_buffer(size);
    put_u64(out.data(), pickle_size);
    put_u64(out.data() + 8, views.size());
    std::size_t at = 16;
    for (const Py_buffer* view : views) {
      put_u64(out.data() + at, static_cast<std::uint64_t>(view->len));
      at += 8;
    }
    std::memcpy(out.data() + at, PyBytes_AS_STRING(data.get()), pickle_size);
    at += pickle_size;
    for (const Py_buffer* view : views) {
      at = aligned(at);
      if (view->len > 0) std::memcpy(out.data() + at, view->buf, static_cast<std::size_t>(view->len));
      at += static_cast<std::size_t>(view->len);
    }
    return out;
  }

  std::optional<PyObjectRef> decode(std::string_view bytes) const override {
    const std::optional<Layout> layout = read_layout(bytes);
    if (!layout) return std::nullopt;
    GilGuard gil;  // first in, last out
    PyRef loads = pickle_function("loads");
    // One copy of the whole encoding; the pickle stream and every buffer are
    // views into it, so arrays read back share it rather than copy again.
    PyRef whole = loads ? PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes.size())))
                        : PyRef();
    if (whole) {
      char* data = PyByteArray_AS_STRING(whole.get());
      advise_large_buffer(data, bytes.size());
      std::memcpy(data, bytes.data(), bytes.size());
    }
    PyRef view = whole ? PyRef::steal(PyMemoryView_FromObject(whole.get())) : PyRef();
    if (!view) return give_up();
    PyRef stream = slice(view.get(), layout->pickle_at, layout->pickle_size);
    PyRef buffers = stream ? PyRef::steal(PyList_New(static_cast<Py_ssize_t>(layout->buffers.size()))) : PyRef();
    if (!buffers) return give_up();
    for (std::size_t i = 0; i < layout->buffers.size(); ++i) {
      PyRef piece = slice(view.get(), layout->buffers[i].first, layout->buffers[i].second);
      if (!piece) return give_up();
      PyList_SET_ITEM(buffers.get(), static_cast<Py_ssize_t>(i), piece.release());  // steals
    }
    PyRef args = PyRef::steal(PyTuple_Pack(1, stream.get()));
    PyRef kwargs = args ? PyRef::steal(Py_BuildValue("{s:O}", "buffers", buffers.get())) : PyRef();
    PyRef result = kwargs ? PyRef::steal(PyObject_Call(loads.get(), args.get(), kwargs.get())) : PyRef();
    if (!result) return give_up();
    return PyObjectRef::steal(result.release());  // the one reference goes to the engine's owner
  }

 private:
  // pickle.dumps(target, protocol=5[, buffer_callback=collect]); null with
  // an error set.
  static PyRef dump(PyObject* dumps, PyObject* target, PyObject* collect) {
    PyRef args = PyRef::steal(PyTuple_Pack(1, target));
    PyRef kwargs = args ? PyRef::steal(collect != nullptr
                                           ? Py_BuildValue("{s:i,s:O}", "protocol", 5, "buffer_callback", collect)
                                           : Py_BuildValue("{s:i}", "protocol", 5))
                        : PyRef();
    PyRef data = kwargs ? PyRef::steal(PyObject_Call(dumps, args.get(), kwargs.get())) : PyRef();
    if (data && !PyBytes_Check(data.get())) {
      PyErr_SetString(PyExc_TypeError, "pickle.dumps returned no bytes");
      return PyRef();
    }
    return data;
  }

  static PyRef slice(PyObject* view, std::size_t at, std::size_t size) {
    return PyRef::steal(
        PySequence_GetSlice(view, static_cast<Py_ssize_t>(at), static_cast<Py_ssize_t>(at + size)));
  }

  // Unreadable bytes are a miss: the error is cleared, unless it must stop
  // the run.
  static std::optional<PyObjectRef> give_up() {
    if (pending_error_stops_run()) throw_run_interrupted();
    PyErr_Clear();
    return std::nullopt;
  }
};

}  // namespace

std::shared_ptr<const ObjectCodec> create_pickle_codec() { return std::make_shared<const PickleCodec>(); }

}  // namespace quillon::py
