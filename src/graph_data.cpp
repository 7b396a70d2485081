#include "graph_data.hpp"

namespace quillon {

namespace {
PyObjectHooks g_hooks;
}  // namespace

void set_py_object_hooks(const PyObjectHooks& hooks) { g_hooks = hooks; }
const PyObjectHooks& py_object_hooks() { return g_hooks; }

PyObjectRef::Owner::~Owner() {
  if (object != nullptr && g_hooks.release != nullptr) g_hooks.release(object);
}

PyObjectRef PyObjectRef::steal(void* object) {
  PyObjectRef ref;
  ref.owner_ = std::make_shared<const Owner>(object);
  return ref;
}

PyObjectRef PyObjectRef::borrow(void* object) {
  if (object != nullptr && g_hooks.retain != nullptr) g_hooks.retain(object);
  return steal(object);
}

GraphData GraphData::from_float_vec(std::vector<double> v) {
  return from_float_vec(std::make_shared<const std::vector<double>>(std::move(v)));
}
GraphData GraphData::from_float_vec(FloatVecPtr v) { return GraphData(Payload(std::move(v))); }
GraphData GraphData::from_int_vec(std::vector<std::int64_t> v) {
  return from_int_vec(std::make_shared<const std::vector<std::int64_t>>(std::move(v)));
}
GraphData GraphData::from_int_vec(IntVecPtr v) { return GraphData(Payload(std::move(v))); }
GraphData GraphData::from_map(DataMap v) {
  return GraphData(Payload(std::make_shared<const DataMap>(std::move(v))));
}

std::optional<double> GraphData::as_f64_lossy() const {
  switch (kind()) {
    case DataKind::kInt:
      return static_cast<double>(as_int());
    case DataKind::kFloat:
      return as_float();
    case DataKind::kPyObject: {
      void* object = as_py_object().get();
      double out = 0.0;
      if (object != nullptr && g_hooks.as_f64 != nullptr && g_hooks.as_f64(object, &out)) {
        return out;
      }
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

std::string_view kind_name(DataKind kind) noexcept {
  switch (kind) {
    case DataKind::kInt: return "Int";
    case DataKind::kFloat: return "Float";
    case DataKind::kString: return "String";
    case DataKind::kFloatVec: return "FloatVec";
    case DataKind::kIntVec: return "IntVec";
    case DataKind::kMap: return "Map";
    case DataKind::kPyObject: return "PyObject";
    case DataKind::kNone: return "None";
  }
  return "Unknown";
}

}  // namespace quillon
