#include "graph_data.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quillon {
namespace {

// A stand-in for the Python layer: objects are ints holding a reference
// count; as_f64 succeeds for objects whose value is non-negative.
struct FakeObject {
  std::atomic<int> refs{1};
  double value = 0.0;
};

std::atomic<int> g_releases{0};

PyObjectHooks counting_hooks() {
  PyObjectHooks hooks;
  hooks.retain = [](void* o) { static_cast<FakeObject*>(o)->refs.fetch_add(1); };
  hooks.release = [](void* o) {
    static_cast<FakeObject*>(o)->refs.fetch_sub(1);
    g_releases.fetch_add(1);
  };
  hooks.as_f64 = [](void* o, double* out) {
    auto* object = static_cast<FakeObject*>(o);
    if (object->value < 0) return false;
    *out = object->value;
    return true;
  };
  return hooks;
}

class PyObjectValues : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = py_object_hooks();
    set_py_object_hooks(counting_hooks());
    g_releases = 0;
  }
  void TearDown() override { set_py_object_hooks(saved_); }
  PyObjectHooks saved_;
};

TEST(GraphDataKinds, TagsFollowTheFixedOrder) {
  EXPECT_EQ(GraphData::from_int(1).kind(), DataKind::kInt);
  EXPECT_EQ(GraphData::from_float(1).kind(), DataKind::kFloat);
  EXPECT_EQ(GraphData::from_string("a").kind(), DataKind::kString);
  EXPECT_EQ(GraphData::from_float_vec(std::vector<double>{}).kind(), DataKind::kFloatVec);
  EXPECT_EQ(GraphData::from_int_vec(std::vector<std::int64_t>{}).kind(), DataKind::kIntVec);
  EXPECT_EQ(GraphData::from_map({}).kind(), DataKind::kMap);
  EXPECT_EQ(GraphData::from_py_object(PyObjectRef::steal(nullptr)).kind(), DataKind::kPyObject);
  EXPECT_EQ(GraphData().kind(), DataKind::kNone);
  EXPECT_EQ(static_cast<int>(DataKind::kPyObject), 6);
  EXPECT_EQ(static_cast<int>(DataKind::kNone), 7);
}

TEST(GraphDataCopies, VectorsAreSharedNotDuplicated) {
  std::vector<std::int64_t> big(1'000'000, 7);
  const GraphData original = GraphData::from_int_vec(std::move(big));
  const GraphData copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_EQ(&original.as_int_vec(), &copy.as_int_vec());
  EXPECT_EQ(copy.as_int_vec().size(), 1'000'000u);
  EXPECT_EQ(original.int_vec_ptr().use_count(), 2);
}

TEST(GraphDataNumericView, OnlyNumbersAndConvertibleObjectsHaveOne) {
  EXPECT_EQ(GraphData::from_int(-3).as_f64_lossy(), -3.0);
  EXPECT_EQ(GraphData::from_float(2.5).as_f64_lossy(), 2.5);
  EXPECT_FALSE(GraphData::from_string("1").as_f64_lossy());
  EXPECT_FALSE(GraphData::from_float_vec(std::vector<double>{1.0}).as_f64_lossy());
  EXPECT_FALSE(GraphData::from_int_vec(std::vector<std::int64_t>{1}).as_f64_lossy());
  EXPECT_FALSE(GraphData::from_map({{"a", GraphData::from_float(1)}}).as_f64_lossy());
  EXPECT_FALSE(GraphData().as_f64_lossy());
}

TEST_F(PyObjectValues, CopiesShareOneReferenceReleasedByTheLastHolder) {
  FakeObject object;
  {
    const GraphData value = GraphData::from_py_object(PyObjectRef::borrow(&object));
    EXPECT_EQ(object.refs, 2);
    std::vector<GraphData> copies(100, value);
    EXPECT_EQ(object.refs, 2) << "copies must not touch the Python reference count";
    EXPECT_EQ(copies[42].as_py_object().get(), &object);
  }
  EXPECT_EQ(object.refs, 1);
  EXPECT_EQ(g_releases, 1);
}

TEST_F(PyObjectValues, CopiesMadeAndDroppedOnManyThreadsReleaseOnce) {
  FakeObject object;
  {
    const GraphData value = GraphData::from_py_object(PyObjectRef::steal(&object));
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 10'000; ++i) {
          GraphData copy = value;
          DataMap map{{"k", copy}};
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(g_releases, 1);
  EXPECT_EQ(object.refs, 0);
}

TEST_F(PyObjectValues, NumericViewGoesThroughTheHook) {
  FakeObject convertible;
  convertible.value = 4.5;
  FakeObject refuses;
  refuses.value = -1;
  EXPECT_EQ(GraphData::from_py_object(PyObjectRef::borrow(&convertible)).as_f64_lossy(), 4.5);
  EXPECT_FALSE(GraphData::from_py_object(PyObjectRef::borrow(&refuses)).as_f64_lossy());
}

}  // namespace
}  // namespace quillon
