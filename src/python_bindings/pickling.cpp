#include "python_bindings/pickling.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cache/disk_backend.hpp"
#include "cache/memory_backend.hpp"
#include "distribution/dist_transfer.hpp"
#include "python_bindings/args.hpp"
#include "python_bindings/convert.hpp"
#include "python_bindings/dag.hpp"
#include "python_bindings/disk_cache.hpp"
#include "python_bindings/dist_transfer.hpp"
#include "python_bindings/distribution.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/gil.hpp"
#include "python_bindings/module_state.hpp"
#include "python_bindings/node_function.hpp"
#include "python_bindings/pickle_codec.hpp"
#include "python_bindings/stat_result.hpp"

namespace quillon::py {

namespace {

// Versions of the state tuples. A reader accepts only the versions it
// knows; a new layout takes a new number.
constexpr long kDagStateVersion = 1;
constexpr long kDistributionStateVersion = 1;
constexpr long kStatResultStateVersion = 1;

// The protocol of the bytes of node callables: they are read back by
// whatever process runs the node, which may be older than this one.
constexpr int kCallableProtocol = 5;

// A str of UTF-8 `value`; bytes that are not UTF-8 become surrogates.
PyRef text_object(std::string_view value) {
  return check(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "surrogateescape"));
}

// ---------------------------------------------------------------------------
// Numbers as bytes: little-endian float64, whatever the machine's order.

PyRef doubles_to_bytes(std::span<const double> values) {
  PyRef bytes = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(values.size() * sizeof(double))));
  char* out = PyBytes_AS_STRING(bytes.get());
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(out, values.data(), values.size() * sizeof(double));
  } else {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto bits = std::bit_cast<std::uint64_t>(values[i]);
      for (int b = 0; b < 8; ++b) out[i * 8 + b] = static_cast<char>(bits >> (8 * b));
    }
  }
  return bytes;
}

std::vector<double> doubles_from(const char* data, std::size_t count) {
  std::vector<double> values(count);
  if constexpr (std::endian::native == std::endian::little) {
    if (count != 0) std::memcpy(values.data(), data, count * sizeof(double));
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      std::uint64_t bits = 0;
      for (int b = 0; b < 8; ++b) bits |= std::uint64_t{static_cast<unsigned char>(data[i * 8 + b])} << (8 * b);
      values[i] = std::bit_cast<double>(bits);
    }
  }
  return values;
}

// ---------------------------------------------------------------------------
// Reading a state: every item is checked; a wrong type raises TypeError, a
// wrong value ValueError, each naming the class and the item.

class StateReader {
 public:
  explicit StateReader(const char* class_name) : class_name_(class_name) {}

  [[noreturn]] void fail(PyObject* type, const std::string& what) const {
    raise(type, std::string("invalid ") + class_name_ + " state: " + what);
  }

  // The items of a tuple of `size` items (any size when negative).
  std::span<PyObject* const> tuple(PyObject* value, Py_ssize_t size, const std::string& what) const {
    if (!PyTuple_Check(value)) fail(PyExc_TypeError, what + " must be a tuple, not " + Py_TYPE(value)->tp_name);
    const Py_ssize_t length = PyTuple_GET_SIZE(value);
    if (size >= 0 && length != size) {
      fail(PyExc_ValueError, what + " must have " + std::to_string(size) + " items, not " + std::to_string(length));
    }
    return {&PyTuple_GET_ITEM(value, 0), static_cast<std::size_t>(length)};
  }

  void version(PyObject* state, long expected) const {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) == 0) fail(PyExc_TypeError, "expected a non-empty tuple");
    PyObject* item = PyTuple_GET_ITEM(state, 0);
    if (!PyLong_CheckExact(item)) fail(PyExc_TypeError, "the version must be an int");
    const long version = PyLong_AsLong(item);
    if (version == -1 && PyErr_Occurred()) PyErr_Clear();
    if (version != expected) fail(PyExc_ValueError, "unsupported version (this build reads version " +
                                                        std::to_string(expected) + ")");
  }

  std::uint64_t u64(PyObject* value, const std::string& what) const {
    if (!PyLong_Check(value) || PyBool_Check(value)) fail(PyExc_TypeError, what + " must be an int");
    const unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      fail(PyExc_ValueError, what + " is out of range");
    }
    return number;
  }

  std::optional<std::uint64_t> optional_u64(PyObject* value, const std::string& what) const {
    if (value == Py_None) return std::nullopt;
    return u64(value, what);
  }

  // An index into a table of `size` items, or -1 for none.
  std::int64_t index(PyObject* value, std::size_t size, const std::string& what) const {
    if (!PyLong_Check(value) || PyBool_Check(value)) fail(PyExc_TypeError, what + " must be an int");
    const long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) {
      PyErr_Clear();
    } else if (number == -1 || (number >= 0 && static_cast<std::uint64_t>(number) < size)) {
      return number;
    }
    fail(PyExc_ValueError, what + " is out of range");
  }

  bool boolean(PyObject* value, const std::string& what) const {
    if (!PyBool_Check(value)) fail(PyExc_TypeError, what + " must be a bool");
    return value == Py_True;
  }

  std::string text(PyObject* value, const std::string& what) const {
    if (!PyUnicode_Check(value)) fail(PyExc_TypeError, what + " must be a str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
      PyErr_Clear();
      fail(PyExc_ValueError, what + " is not valid text");
    }
    return std::string(data, static_cast<std::size_t>(size));
  }

  std::optional<std::string> optional_text(PyObject* value, const std::string& what) const {
    if (value == Py_None) return std::nullopt;
    return text(value, what);
  }

  std::string_view bytes(PyObject* value, const std::string& what) const {
    if (!PyBytes_Check(value)) fail(PyExc_TypeError, what + " must be bytes");
    return {PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value))};
  }

  std::vector<double> doubles(PyObject* value, const std::string& what) const {
    const std::string_view data = bytes(value, what);
    if (data.size() % sizeof(double) != 0) fail(PyExc_ValueError, what + " is not a whole number of float64");
    return doubles_from(data.data(), data.size() / sizeof(double));
  }

 private:
  const char* class_name_;
};

// ---------------------------------------------------------------------------
// Distributions. A distribution travels as (kind, parameters, samples): the
// two parameters as 16 bytes, the samples (Empirical only) as a reference
// to a table of sample vectors, so that vectors shared within a result
// travel once and are shared again when read back.

PyRef params_bytes(const Distribution& dist) {
  const double params[2] = {dist.first_param(), dist.second_param()};
  return doubles_to_bytes(params);
}

// Sample vectors on their way out, each once.
class SampleTable {
 public:
  SampleTable() : list_(check(PyList_New(0))) {}

  // The position of `samples` in the table, added when new.
  Py_ssize_t add(const SampleVector& samples) {
    const Samples* key = samples.get();
    if (auto it = index_.find(key); it != index_.end()) return it->second;
    PyRef bytes = samples ? doubles_to_bytes(samples->span()) : doubles_to_bytes({});
    if (PyList_Append(list_.get(), bytes.get()) != 0) throw_python_error();
    const Py_ssize_t at = PyList_GET_SIZE(list_.get()) - 1;
    index_.emplace(key, at);
    return at;
  }

  PyRef as_tuple() const { return check(PyList_AsTuple(list_.get())); }

 private:
  PyRef list_;
  std::unordered_map<const Samples*, Py_ssize_t> index_;
};

Distribution read_distribution(const StateReader& reader, PyObject* kind_item, PyObject* params_item,
                               const std::function<SampleVector()>& samples, bool has_samples,
                               const std::string& what) {
  const std::uint64_t kind = reader.u64(kind_item, what + " kind");
  if (kind > static_cast<std::uint64_t>(DistributionKind::kEmpirical)) {
    reader.fail(PyExc_ValueError, what + " has an unknown kind");
  }
  const std::vector<double> params = reader.doubles(params_item, what + " parameters");
  if (params.size() != 2) reader.fail(PyExc_ValueError, what + " parameters must be 2 float64");
  const bool empirical = kind == static_cast<std::uint64_t>(DistributionKind::kEmpirical);
  if (empirical != has_samples) {
    reader.fail(PyExc_ValueError, what + (empirical ? " lacks its samples" : " has samples but is not Empirical"));
  }
  switch (static_cast<DistributionKind>(kind)) {
    case DistributionKind::kDeterministic:
      return Distribution::deterministic(params[0]);
    case DistributionKind::kNormal:
      return Distribution::normal(params[0], params[1]);
    case DistributionKind::kUniform:
      return Distribution::uniform(params[0], params[1]);
    case DistributionKind::kBeta:
      return Distribution::beta(params[0], params[1]);
    case DistributionKind::kGamma:
      return Distribution::gamma(params[0], params[1]);
    case DistributionKind::kLogNormal:
      return Distribution::lognormal(params[0], params[1]);
    case DistributionKind::kEmpirical:
      break;
  }
  return Distribution::empirical(samples());
}

// The module object the class of `self` belongs to, and its attribute
// `name`. New reference.
PyRef module_attribute(PyObject* self, const char* name) {
  PyObject* module = PyType_GetModule(Py_TYPE(self));  // borrowed
  if (module == nullptr) throw_python_error();
  return check(PyObject_GetAttrString(module, name));
}

// (restore, (state,)): what __reduce__ returns.
PyObject* reduce_value(PyObject* self, const char* restore_name, PyRef state) {
  PyRef restore = module_attribute(self, restore_name);
  return check(Py_BuildValue("(O(O))", restore.get(), state.get())).release();
}

// ---------------------------------------------------------------------------
// Callables.

// The pending exception, taken; an exception that is not an Exception
// (KeyboardInterrupt, SystemExit, ...) stays pending and is thrown on.
// Requires: an exception pending.
PyRef take_exception() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
  ErrorScope error;
  PyRef exception = PyRef::borrow(error.exception());
  error.drop();
  return exception;
}

// "TypeName: message" of an exception instance; never fails.
std::string describe_exception(PyObject* exception) {
  ErrorScope keep;
  const char* type = Py_TYPE(exception)->tp_name;
  if (const char* dot = std::strrchr(type, '.')) type = dot + 1;
  std::string text = type;
  PyRef message = PyRef::steal(PyObject_Str(exception));
  Py_ssize_t size = 0;
  const char* data = message ? PyUnicode_AsUTF8AndSize(message.get(), &size) : nullptr;
  if (data != nullptr && size > 0) text += ": " + std::string(data, static_cast<std::size_t>(size));
  PyErr_Clear();
  return text;
}

// module.dumps(callable, protocol=kCallableProtocol), or null with the
// error taken into `error`.
PyRef try_dumps(PyObject* module, PyObject* callable, PyRef& error) {
  PyRef bytes = PyRef::steal(PyObject_CallMethod(module, "dumps", "Oi", callable, kCallableProtocol));
  if (!bytes) {
    error = take_exception();
  } else if (!PyBytes_Check(bytes.get())) {
    error = PyRef();
    return PyRef();
  }
  return bytes;
}

// Whether `callable` belongs to the __main__ module (a script's or a
// notebook's own function), which other processes cannot import by name.
bool from_main_module(PyObject* callable) {
  ErrorScope keep;
  PyRef module = PyRef::steal(PyObject_GetAttrString(callable, "__module__"));
  const bool main = module && PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "__main__") == 0;
  PyErr_Clear();
  return main;
}

// The cloudpickle module, or null when it cannot be imported.
PyRef import_cloudpickle() {
  PyRef module = PyRef::steal(PyImport_ImportModule("cloudpickle"));
  if (!module) take_exception();  // not installed, or broken: pickling goes without it
  return module;
}

}  // namespace

PyRef pickle_callable(PyObject* callable, const CallSite& site, std::string_view role) {
  PyRef pickle = check(PyImport_ImportModule("pickle"));
  PyRef by_reference_error;
  PyRef by_reference = try_dumps(pickle.get(), callable, by_reference_error);
  if (by_reference && !from_main_module(callable)) return by_reference;

  PyRef cloudpickle = import_cloudpickle();
  PyRef by_value_error;
  if (cloudpickle) {
    if (PyRef by_value = try_dumps(cloudpickle.get(), callable, by_value_error)) return by_value;
  }
  // A function of __main__ without cloudpickle: by name, for processes that
  // run the same main module.
  if (by_reference) return by_reference;

  PyRef cause = by_value_error ? std::move(by_value_error) : std::move(by_reference_error);
  std::string message = "cannot pickle the " + std::string(role) + " of " + describe_node(site) + ": ";
  message += cause ? describe_exception(cause.get()) : std::string("pickling did not give bytes");
  if (!cloudpickle) message += " (installing cloudpickle lets lambdas, closures and notebook functions travel)";
  PyRef message_object = text_object(message);
  PyRef error = check(PyObject_CallOneArg(PyExc_TypeError, message_object.get()));
  if (cause) PyException_SetCause(error.get(), cause.release());  // steals the cause
  PyErr_SetObject(PyExc_TypeError, error.get());
  throw_python_error();
}

PyRef unpickle_callable(PyObject* bytes, const CallSite& site, std::string_view role) {
  if (!PyBytes_Check(bytes)) raise(PyExc_TypeError, "the pickled " + std::string(role) + " of " + describe_node(site) + " must be bytes");
  PyRef pickle = check(PyImport_ImportModule("pickle"));
  PyRef callable = PyRef::steal(PyObject_CallMethod(pickle.get(), "loads", "O", bytes));
  if (callable) return callable;
  {
    ErrorScope error;  // put back, with the note, when the scope ends
    if (PyObject* exception = error.exception(); exception != nullptr && PyObject_HasAttrString(exception, "add_note")) {
      const std::string note = "while unpickling the " + std::string(role) + " of " + describe_node(site);
      PyRef ignored = PyRef::steal(PyObject_CallMethod(exception, "add_note", "s", note.c_str()));
      PyErr_Clear();
    }
  }
  throw_python_error();
}

// ---------------------------------------------------------------------------
// Distribution: (version, kind, parameters, samples or None).

PyObject* reduce_distribution(PyObject* self, PyObject*) {
  return with_shared_access<DistributionObject>(self, [&](DistributionState& state) -> PyObject* {
    const Distribution& dist = state.value;
    PyRef samples = dist.kind() == DistributionKind::kEmpirical && dist.samples()
                        ? doubles_to_bytes(dist.samples()->span())
                        : PyRef::borrow(Py_None);
    PyRef params = params_bytes(dist);
    PyRef kind = check(PyLong_FromLong(static_cast<long>(dist.kind())));
    PyRef tuple = check(Py_BuildValue("(lOOO)", kDistributionStateVersion, kind.get(), params.get(), samples.get()));
    return reduce_value(self, "_restore_distribution", std::move(tuple));
  });
}

PyObject* restore_distribution(PyObject* module, PyObject* state) {
  return call_guarded([&]() -> PyObject* {
    const StateReader reader("Distribution");
    reader.version(state, kDistributionStateVersion);
    const auto items = reader.tuple(state, 4, "the state");
    const bool has_samples = items[3] != Py_None;
    const Distribution dist = read_distribution(
        reader, items[1], items[2], [&] { return make_samples(reader.doubles(items[3], "the samples")); },
        has_samples, "the distribution");
    return wrap_distribution(state_of_module(module), dist).release();
  });
}

// ---------------------------------------------------------------------------
// StatResult: (version, sample vectors, vars, by_node, by_branch,
// by_variant, particles). A distribution map is a tuple of (name, kind,
// parameters, sample vector index or -1); a grouped map a tuple of (id,
// distribution map); particles None or (count, columns), a column being
// (key, sample vector index, presence mask or None), the mask one bit per
// particle, least significant bit first.

namespace {

PyRef dist_map_state(const DistMap& dists, SampleTable& samples) {
  PyRef tuple = check(PyTuple_New(static_cast<Py_ssize_t>(dists.size())));
  Py_ssize_t at = 0;
  for (const auto& [name, dist] : dists) {
    const Py_ssize_t index = dist.kind() == DistributionKind::kEmpirical ? samples.add(dist.samples()) : -1;
    PyRef params = params_bytes(dist);
    PyRef name_object = text_object(name);
    PyRef entry = check(Py_BuildValue("(OlOn)", name_object.get(), static_cast<long>(dist.kind()), params.get(), index));
    PyTuple_SET_ITEM(tuple.get(), at++, entry.release());  // steals
  }
  return tuple;
}

PyRef grouped_state(const std::unordered_map<std::uint64_t, DistMap>& groups, SampleTable& samples) {
  PyRef tuple = check(PyTuple_New(static_cast<Py_ssize_t>(groups.size())));
  Py_ssize_t at = 0;
  for (const auto& [id, dists] : groups) {
    PyRef map = dist_map_state(dists, samples);
    PyRef entry = check(Py_BuildValue("(KO)", static_cast<unsigned long long>(id), map.get()));
    PyTuple_SET_ITEM(tuple.get(), at++, entry.release());  // steals
  }
  return tuple;
}

PyRef particles_state(const std::optional<ParticleTable>& table, SampleTable& samples) {
  if (!table) return PyRef::borrow(Py_None);
  const std::size_t size = table->size();
  PyRef columns = check(PyList_New(0));
  table->for_each_column([&](const std::string& key, const ParticleTable::Column& column) {
    SampleVector values = column.values;
    if (!values) values = make_samples(std::vector<double>(size, std::nan("")));
    const Py_ssize_t index = samples.add(values);
    PyRef mask = PyRef::borrow(Py_None);
    if (!column.present.empty()) {
      std::string bits((size + 7) / 8, '\0');
      for (std::size_t i = 0; i < size; ++i) {
        if (column.present[i]) bits[i / 8] = static_cast<char>(bits[i / 8] | (1 << (i % 8)));
      }
      mask = check(PyBytes_FromStringAndSize(bits.data(), static_cast<Py_ssize_t>(bits.size())));
    }
    PyRef key_object = text_object(key);
    PyRef entry = check(Py_BuildValue("(OnO)", key_object.get(), index, mask.get()));
    if (PyList_Append(columns.get(), entry.get()) != 0) throw_python_error();
  });
  PyRef column_tuple = check(PyList_AsTuple(columns.get()));
  return check(Py_BuildValue("(KO)", static_cast<unsigned long long>(size), column_tuple.get()));
}

// Sample vectors on their way in.
std::vector<SampleVector> read_sample_table(const StateReader& reader, PyObject* value) {
  std::vector<SampleVector> table;
  for (PyObject* item : reader.tuple(value, -1, "the sample vectors")) {
    table.push_back(make_samples(reader.doubles(item, "a sample vector")));
  }
  return table;
}

DistMap read_dist_map(const StateReader& reader, PyObject* value, const std::vector<SampleVector>& samples,
                      const std::string& what) {
  DistMap dists;
  for (PyObject* item : reader.tuple(value, -1, what)) {
    const auto entry = reader.tuple(item, 4, "an entry of " + what);
    std::string name = reader.text(entry[0], "a name in " + what);
    const std::int64_t index = reader.index(entry[3], samples.size(), "the sample vector of '" + name + "'");
    Distribution dist = read_distribution(
        reader, entry[1], entry[2], [&] { return samples[static_cast<std::size_t>(index)]; }, index >= 0,
        "the distribution of '" + name + "' in " + what);
    if (!dists.emplace(std::move(name), std::move(dist)).second) reader.fail(PyExc_ValueError, what + " repeats a name");
  }
  return dists;
}

std::unordered_map<std::uint64_t, DistMap> read_grouped(const StateReader& reader, PyObject* value,
                                                        const std::vector<SampleVector>& samples,
                                                        const std::string& what) {
  std::unordered_map<std::uint64_t, DistMap> groups;
  for (PyObject* item : reader.tuple(value, -1, what)) {
    const auto entry = reader.tuple(item, 2, "an entry of " + what);
    const std::uint64_t id = reader.u64(entry[0], "an id in " + what);
    DistMap dists = read_dist_map(reader, entry[1], samples, what + " " + std::to_string(id));
    if (!groups.emplace(id, std::move(dists)).second) reader.fail(PyExc_ValueError, what + " repeats an id");
  }
  return groups;
}

std::optional<ParticleTable> read_particles(const StateReader& reader, PyObject* value,
                                            const std::vector<SampleVector>& samples) {
  if (value == Py_None) return std::nullopt;
  const auto items = reader.tuple(value, 2, "the particles");
  const std::uint64_t size = reader.u64(items[0], "the particle count");
  ParticleTable table(static_cast<std::size_t>(size));
  std::unordered_set<std::string> keys;
  for (PyObject* item : reader.tuple(items[1], -1, "the particle columns")) {
    const auto entry = reader.tuple(item, 3, "a particle column");
    std::string key = reader.text(entry[0], "a particle column key");
    if (!keys.insert(key).second) reader.fail(PyExc_ValueError, "the particle columns repeat '" + key + "'");
    const std::int64_t index = reader.index(entry[1], samples.size(), "the values of column '" + key + "'");
    if (index < 0) reader.fail(PyExc_ValueError, "column '" + key + "' has no values");
    ParticleTable::Column column;
    column.values = samples[static_cast<std::size_t>(index)];
    if (column.values->size() != size) reader.fail(PyExc_ValueError, "column '" + key + "' does not hold a value per particle");
    if (entry[2] != Py_None) {
      const std::string_view bits = reader.bytes(entry[2], "the mask of column '" + key + "'");
      if (bits.size() != (size + 7) / 8) reader.fail(PyExc_ValueError, "the mask of column '" + key + "' has the wrong length");
      if (size % 8 != 0 && (static_cast<unsigned char>(bits.back()) >> (size % 8)) != 0) {
        reader.fail(PyExc_ValueError, "the mask of column '" + key + "' marks particles past the end");
      }
      column.present.resize(static_cast<std::size_t>(size));
      for (std::size_t i = 0; i < size; ++i) {
        column.present[i] = ((static_cast<unsigned char>(bits[i / 8]) >> (i % 8)) & 1) != 0;
      }
    }
    table.set(key, std::move(column));
  }
  return table;
}

}  // namespace

PyObject* reduce_stat_result(PyObject* self, PyObject*) {
  return with_shared_access<StatResultObject>(self, [&](StatResultState& state) -> PyObject* {
    const StatResult& result = state.result;
    SampleTable samples;
    PyRef vars = dist_map_state(result.vars, samples);
    PyRef by_node = grouped_state(result.by_node, samples);
    PyRef by_branch = grouped_state(result.by_branch, samples);
    PyRef by_variant = grouped_state(result.by_variant, samples);
    PyRef particles = particles_state(result.particles, samples);
    PyRef sample_tuple = samples.as_tuple();
    PyRef tuple = check(Py_BuildValue("(lOOOOOO)", kStatResultStateVersion, sample_tuple.get(), vars.get(),
                                      by_node.get(), by_branch.get(), by_variant.get(), particles.get()));
    return reduce_value(self, "_restore_stat_result", std::move(tuple));
  });
}

PyObject* restore_stat_result(PyObject* module, PyObject* state) {
  return call_guarded([&]() -> PyObject* {
    const StateReader reader("StatResult");
    reader.version(state, kStatResultStateVersion);
    const auto items = reader.tuple(state, 7, "the state");
    const std::vector<SampleVector> samples = read_sample_table(reader, items[1]);
    StatResult result;
    result.vars = read_dist_map(reader, items[2], samples, "vars");
    result.by_node = read_grouped(reader, items[3], samples, "node");
    result.by_branch = read_grouped(reader, items[4], samples, "branch");
    result.by_variant = read_grouped(reader, items[5], samples, "variant");
    result.particles = read_particles(reader, items[6], samples);
    return wrap_stat_result(state_of_module(module), std::move(result));
  });
}

// ---------------------------------------------------------------------------
// Dag: (version, callables, transfers, nodes, cache, namespace).
//
// callables and transfers are tuples of pickle_callable bytes, each callable
// once however many nodes share it; a node refers to them by position (-1:
// a node without a callable, or without a transfer). A node is the tuple
//   (id, label, callable, inputs, outputs, dependencies, branch_id,
//    variant_index, is_branch, cache_version, version_set, cacheable,
//    cache_key_vars, content_keys, transfer, vectorized, variant_params)
// with inputs and outputs as tuples of name pairs in the node's own order
// and variant_params as (name, value) pairs. The cache is None,
// ("memory", max_entries, ttl in nanoseconds or None) or ("disk", absolute
// path, max_entries or None, max_bytes, ttl in seconds or None): settings,
// never contents.

namespace {

constexpr Py_ssize_t kNodeFields = 17;

PyRef pairs_state(const NameMap& names) {
  PyRef tuple = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t at = 0;
  for (const auto& [from, to] : names) {
    PyRef from_object = text_object(from);
    PyRef to_object = text_object(to);
    PyRef pair = check(PyTuple_Pack(2, from_object.get(), to_object.get()));
    PyTuple_SET_ITEM(tuple.get(), at++, pair.release());  // steals
  }
  return tuple;
}

PyRef optional_u64_object(const std::optional<std::uint64_t>& value) {
  if (!value) return PyRef::borrow(Py_None);
  return check(PyLong_FromUnsignedLongLong(*value));
}

PyRef cache_state(const CacheBackendPtr& backend) {
  if (!backend) return PyRef::borrow(Py_None);
  if (const auto* memory = dynamic_cast<const MemoryCacheBackend*>(backend.get())) {
    PyRef ttl = memory->ttl() ? check(PyLong_FromLongLong(static_cast<long long>(memory->ttl()->count())))
                              : PyRef::borrow(Py_None);
    return check(Py_BuildValue("(sKO)", "memory", static_cast<unsigned long long>(memory->max_entries()), ttl.get()));
  }
  if (const auto* disk = dynamic_cast<const DiskCacheBackend*>(backend.get())) {
    const DiskCacheOptions& options = disk->options();
    PyRef given = check(PyUnicode_DecodeFSDefault(disk->path().c_str()));
    PyRef os_path = check(PyImport_ImportModule("os.path"));
    PyRef path = check(PyObject_CallMethod(os_path.get(), "abspath", "O", given.get()));
    PyRef max_entries = optional_u64_object(options.max_entries);
    PyRef ttl = options.ttl ? check(PyFloat_FromDouble(options.ttl->count())) : PyRef::borrow(Py_None);
    return check(Py_BuildValue("(sOOKO)", "disk", path.get(), max_entries.get(),
                               static_cast<unsigned long long>(options.max_bytes), ttl.get()));
  }
  raise(PyExc_TypeError, "cannot pickle a Dag whose cache is neither a memory nor a disk cache");
}

CacheBackendPtr read_cache(const StateReader& reader, const ModuleState& module, PyObject* value) {
  if (value == Py_None) return nullptr;
  const auto head = reader.tuple(value, -1, "the cache");
  if (head.empty()) reader.fail(PyExc_ValueError, "the cache is empty");
  const std::string kind = reader.text(head[0], "the cache kind");
  if (kind == "memory") {
    const auto items = reader.tuple(value, 3, "the memory cache");
    const std::uint64_t max_entries = reader.u64(items[1], "the memory cache's max_entries");
    std::optional<MemoryCacheBackend::Clock::duration> ttl;
    if (items[2] != Py_None) {
      const std::uint64_t nanoseconds = reader.u64(items[2], "the memory cache's ttl");
      if (nanoseconds > static_cast<std::uint64_t>(std::numeric_limits<MemoryCacheBackend::Clock::rep>::max())) {
        reader.fail(PyExc_ValueError, "the memory cache's ttl is out of range");
      }
      ttl = MemoryCacheBackend::Clock::duration(static_cast<MemoryCacheBackend::Clock::rep>(nanoseconds));
    }
    if (max_entries > std::numeric_limits<std::size_t>::max()) reader.fail(PyExc_ValueError, "max_entries is out of range");
    return MemoryCacheBackend::create(static_cast<std::size_t>(max_entries), ttl);
  }
  if (kind != "disk") reader.fail(PyExc_ValueError, "unknown cache kind '" + kind + "'");
  const auto items = reader.tuple(value, 5, "the disk cache");
  DiskCacheOptions options;
  if (!PyUnicode_Check(items[1])) reader.fail(PyExc_TypeError, "the disk cache path must be a str");
  PyRef encoded = check(PyUnicode_EncodeFSDefault(items[1]));
  options.path.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  if (options.path.empty() || options.path.find('\0') != std::string::npos) {
    reader.fail(PyExc_ValueError, "the disk cache path is not a path");
  }
  options.max_entries = reader.optional_u64(items[2], "the disk cache's max_entries");
  options.max_bytes = reader.u64(items[3], "the disk cache's max_bytes");
  if (items[4] != Py_None) {
    if (!PyFloat_CheckExact(items[4])) reader.fail(PyExc_TypeError, "the disk cache's ttl must be a float");
    const double seconds = PyFloat_AS_DOUBLE(items[4]);
    if (!(seconds >= 0.0) || !std::isfinite(seconds)) reader.fail(PyExc_ValueError, "the disk cache's ttl is out of range");
    options.ttl = std::chrono::duration<double>(seconds);
  }
  options.codec = create_pickle_codec();

  std::shared_ptr<DiskCacheBackend> backend = open_disk_backend(std::move(options));
  warn_cache_notices(module, backend);
  return backend;
}

}  // namespace

namespace {

// The Dags this thread is pickling, innermost last. A node callable that
// refers to its own Dag would pickle that Dag again inside its own pickle,
// without end; the inner attempt is refused instead.
thread_local std::vector<const PyObject*> t_dags_in_pickling;

class PicklingMark {
 public:
  explicit PicklingMark(const PyObject* dag) {
    for (const PyObject* held : t_dags_in_pickling) {
      if (held == dag) raise(PyExc_TypeError, "a Dag whose node callables refer to the Dag itself cannot be pickled");
    }
    t_dags_in_pickling.push_back(dag);
  }
  ~PicklingMark() { t_dags_in_pickling.pop_back(); }
  PicklingMark(const PicklingMark&) = delete;
  PicklingMark& operator=(const PicklingMark&) = delete;
};

}  // namespace

PyObject* reduce_dag(PyObject* self, PyObject*) {
  return with_shared_access<DagObject>(self, [&](DagState& state) -> PyObject* {
    if (!state.dag) raise(PyExc_RuntimeError, "Dag has been cleared by the garbage collector");
    const PicklingMark mark(self);
    const Dag& dag = *state.dag;
    const NodeFunction noop = noop_node_function();
    PyRef callables = check(PyList_New(0));
    PyRef transfers = check(PyList_New(0));
    std::unordered_map<const NodeCallable*, Py_ssize_t> callable_index;
    std::unordered_map<const DistTransferFn*, Py_ssize_t> transfer_index;
    auto add = [](PyObject* list, PyRef bytes) {
      if (PyList_Append(list, bytes.get()) != 0) throw_python_error();
      return PyList_GET_SIZE(list) - 1;
    };

    PyRef nodes = check(PyTuple_New(static_cast<Py_ssize_t>(dag.nodes().size())));
    Py_ssize_t at = 0;
    for (const Node& node : dag.nodes()) {
      CallSite site;
      site.id = node.id;
      if (node.label) site.label = *node.label;

      Py_ssize_t function = -1;
      if (node.function && node.function != noop) {
        auto [it, added] = callable_index.try_emplace(node.function.get(), 0);
        if (added) {
          PyObject* callable = python_callable(*node.function);  // borrowed from the node
          if (callable == nullptr) raise(PyExc_TypeError, "cannot pickle the function of " + describe_node(site) + ": it is not a Python callable");
          it->second = add(callables.get(), pickle_callable(callable, site));
        }
        function = it->second;
      }
      Py_ssize_t transfer = -1;
      if (node.dist_transfer) {
        auto [it, added] = transfer_index.try_emplace(node.dist_transfer.get(), 0);
        if (added) {
          PyObject* callable = python_callable(*node.dist_transfer);  // borrowed from the node
          if (callable == nullptr) raise(PyExc_TypeError, "cannot pickle the dist transfer of " + describe_node(site) + ": it is not a Python callable");
          it->second = add(transfers.get(), pickle_callable(callable, site, "dist transfer"));
        }
        transfer = it->second;
      }

      PyRef key_vars = PyRef::borrow(Py_None);
      if (node.cache_key_vars) {
        key_vars = check(PyTuple_New(static_cast<Py_ssize_t>(node.cache_key_vars->size())));
        for (std::size_t i = 0; i < node.cache_key_vars->size(); ++i) {
          PyTuple_SET_ITEM(key_vars.get(), static_cast<Py_ssize_t>(i), text_object((*node.cache_key_vars)[i]).release());
        }
      }
      PyRef dependencies = check(PyTuple_New(static_cast<Py_ssize_t>(node.dependencies.size())));
      for (std::size_t i = 0; i < node.dependencies.size(); ++i) {
        PyTuple_SET_ITEM(dependencies.get(), static_cast<Py_ssize_t>(i),
                         check(PyLong_FromUnsignedLongLong(node.dependencies[i])).release());
      }
      PyRef params = check(PyTuple_New(static_cast<Py_ssize_t>(node.variant_params.size())));
      Py_ssize_t param_at = 0;
      for (const auto& [name, value] : node.variant_params) {
        PyRef object = check(graph_data_to_python(value));
        PyRef name_object = text_object(name);
        PyTuple_SET_ITEM(params.get(), param_at++, check(PyTuple_Pack(2, name_object.get(), object.get())).release());
      }
      PyRef label = node.label ? text_object(*node.label) : PyRef::borrow(Py_None);
      PyRef fields[kNodeFields] = {
          check(PyLong_FromUnsignedLongLong(node.id)),
          std::move(label),
          check(PyLong_FromSsize_t(function)),
          pairs_state(node.inputs),
          pairs_state(node.outputs),
          std::move(dependencies),
          optional_u64_object(node.branch_id),
          optional_u64_object(node.variant_index),
          PyRef::steal(PyBool_FromLong(node.is_branch)),
          text_object(node.cache_version),
          PyRef::steal(PyBool_FromLong(node.version_set)),
          PyRef::steal(PyBool_FromLong(node.cacheable)),
          std::move(key_vars),
          PyRef::steal(PyBool_FromLong(node.content_keys)),
          check(PyLong_FromSsize_t(transfer)),
          PyRef::steal(PyBool_FromLong(node.vectorized)),
          std::move(params),
      };
      PyRef tuple = check(PyTuple_New(kNodeFields));
      for (Py_ssize_t i = 0; i < kNodeFields; ++i) PyTuple_SET_ITEM(tuple.get(), i, fields[i].release());  // steals
      PyTuple_SET_ITEM(nodes.get(), at++, tuple.release());  // steals
    }

    PyRef cache = cache_state(dag.cache_backend());
    PyRef ns = state.namespace_name ? text_object(*state.namespace_name) : PyRef::borrow(Py_None);
    PyRef callable_tuple = check(PyList_AsTuple(callables.get()));
    PyRef transfer_tuple = check(PyList_AsTuple(transfers.get()));
    PyRef tuple = check(Py_BuildValue("(lOOOOO)", kDagStateVersion, callable_tuple.get(), transfer_tuple.get(),
                                      nodes.get(), cache.get(), ns.get()));
    return reduce_value(self, "_restore_dag", std::move(tuple));
  });
}

namespace {

NameMap read_pairs(const StateReader& reader, PyObject* value, const std::string& what) {
  NameMap names;
  for (PyObject* item : reader.tuple(value, -1, what)) {
    const auto pair = reader.tuple(item, 2, "an entry of " + what);
    std::string from = reader.text(pair[0], "a name in " + what);
    std::string to = reader.text(pair[1], "a name in " + what);
    if (!names.emplace(std::move(from), std::move(to)).second) reader.fail(PyExc_ValueError, what + " repeats a name");
  }
  return names;
}

}  // namespace

PyObject* restore_dag(PyObject* module, PyObject* state) {
  return call_guarded([&]() -> PyObject* {
    const StateReader reader("Dag");
    reader.version(state, kDagStateVersion);
    const auto items = reader.tuple(state, 6, "the state");
    const auto callable_bytes = reader.tuple(items[1], -1, "the callables");
    const auto transfer_bytes = reader.tuple(items[2], -1, "the dist transfers");
    for (PyObject* bytes : callable_bytes) reader.bytes(bytes, "a pickled callable");
    for (PyObject* bytes : transfer_bytes) reader.bytes(bytes, "a pickled dist transfer");
    const ModuleState& module_state = state_of_module(module);
    // Made on first use, with the site of the first node that uses each.
    std::vector<NodeFunction> functions(callable_bytes.size());
    std::vector<DistTransfer> transfers(transfer_bytes.size());
    const NodeFunction noop = noop_node_function();

    std::vector<Node> nodes;
    for (PyObject* item : reader.tuple(items[3], -1, "the nodes")) {
      const auto f = reader.tuple(item, kNodeFields, "a node");
      Node node;
      node.id = reader.u64(f[0], "a node id");
      const std::string what = "node " + std::to_string(node.id);
      node.label = reader.optional_text(f[1], "the label of " + what);
      CallSite site;
      site.id = node.id;
      if (node.label) site.label = *node.label;
      const std::int64_t function = reader.index(f[2], functions.size(), "the callable of " + what);
      if (function < 0) {
        node.function = noop;
      } else {
        NodeFunction& made = functions[static_cast<std::size_t>(function)];
        if (!made) {
          PyRef callable = unpickle_callable(callable_bytes[static_cast<std::size_t>(function)], site);
          made = create_python_node_function(callable.get());
        }
        node.function = made;
      }
      node.inputs = read_pairs(reader, f[3], "the inputs of " + what);
      node.outputs = read_pairs(reader, f[4], "the outputs of " + what);
      for (PyObject* dependency : reader.tuple(f[5], -1, "the dependencies of " + what)) {
        node.dependencies.push_back(reader.u64(dependency, "a dependency of " + what));
      }
      node.branch_id = reader.optional_u64(f[6], "the branch id of " + what);
      node.variant_index = reader.optional_u64(f[7], "the variant index of " + what);
      node.is_branch = reader.boolean(f[8], "is_branch of " + what);
      node.cache_version = reader.text(f[9], "the cache version of " + what);
      node.version_set = reader.boolean(f[10], "version_set of " + what);
      node.cacheable = reader.boolean(f[11], "cacheable of " + what);
      if (f[12] != Py_None) {
        std::vector<std::string> names;
        for (PyObject* name : reader.tuple(f[12], -1, "the cache key inputs of " + what)) {
          names.push_back(reader.text(name, "a cache key input of " + what));
        }
        node.cache_key_vars = std::move(names);
      }
      node.content_keys = reader.boolean(f[13], "content_keys of " + what);
      const std::int64_t transfer = reader.index(f[14], transfers.size(), "the dist transfer of " + what);
      if (transfer >= 0) {
        DistTransfer& made = transfers[static_cast<std::size_t>(transfer)];
        if (!made) {
          PyRef callable = unpickle_callable(transfer_bytes[static_cast<std::size_t>(transfer)], site, "dist transfer");
          made = create_python_dist_transfer(module_state, callable.get());
        }
        node.dist_transfer = made;
      }
      node.vectorized = reader.boolean(f[15], "vectorized of " + what);
      for (PyObject* param : reader.tuple(f[16], -1, "the variant parameters of " + what)) {
        const auto pair = reader.tuple(param, 2, "a variant parameter of " + what);
        std::string name = reader.text(pair[0], "a variant parameter name of " + what);
        node.variant_params.insert_or_assign(std::move(name), python_to_graph_data(pair[1]));
      }
      nodes.push_back(std::move(node));
    }
    CacheBackendPtr backend = read_cache(reader, module_state, items[4]);
    std::optional<std::string> ns = reader.optional_text(items[5], "the namespace");
    return wrap_dag(module_state, Dag::create(std::move(nodes), std::move(backend)), std::move(ns));
  });
}

PyObject* reduce_graph(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "cannot pickle a Graph: it is a builder; pickle the Dag that Graph.build() returns instead");
  return nullptr;
}

}  // namespace quillon::py
