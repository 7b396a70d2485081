// The disk cache backend: what survives reopening, miss reasons, bounds,
// expiry, claims between threads and between backend objects (as between
// processes), clears releasing waiters, and damage read as a miss.
#include "cache/disk_backend.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace quillon {
namespace {

using namespace std::chrono_literals;
using Backend = std::shared_ptr<DiskCacheBackend>;

// A fresh directory per test, removed afterwards.
class DiskBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillon-disk-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  Backend open(DiskCacheOptions options = {}) {
    options.path = root_ + "/cache";
    return DiskCacheBackend::open(std::move(options));
  }

  std::string root_;
};

CacheLookup lookup_of(const std::string& key, const std::string& code = "c", const std::string& input = "i",
                      const std::string& deps = "d", const std::string& identity = "id=1;label=n") {
  return CacheLookup{key, identity, code, input, deps};
}

PutResult put(const Backend& cache, const CacheLookup& l, DataMap outputs, const std::string& ns = "ns") {
  return cache->put(ns, l.key, CacheEntry{l.identity, l.code_hash, l.input_hash, l.deps_signature, std::move(outputs)});
}

DataMap number(double value) { return {{"out", GraphData::from_float(value)}}; }

std::optional<double> hit_value(const Backend& cache, const CacheLookup& l, const std::string& ns = "ns") {
  CacheGetResult got = cache->get(ns, l);
  if (!std::holds_alternative<DataMap>(got)) return std::nullopt;
  return std::get<DataMap>(got).at("out").as_float();
}

CacheMissReason miss_of(const Backend& cache, const CacheLookup& l, const std::string& ns = "ns") {
  CacheGetResult got = cache->get(ns, l);
  EXPECT_TRUE(std::holds_alternative<CacheMissReason>(got)) << l.key;
  return std::holds_alternative<CacheMissReason>(got) ? std::get<CacheMissReason>(got) : CacheMissReason::kDisabled;
}

TEST_F(DiskBackend, EntriesAndMissReasonsSurviveReopening) {
  {
    Backend cache = open();
    EXPECT_TRUE(put(cache, lookup_of("k1"), number(1.5)).stored);
    cache->close();
  }
  Backend cache = open();
  EXPECT_EQ(hit_value(cache, lookup_of("k1")), 1.5);
  EXPECT_EQ(miss_of(cache, lookup_of("k2", "c2")), CacheMissReason::kCodeChanged);
  EXPECT_EQ(miss_of(cache, lookup_of("k2", "c", "i2")), CacheMissReason::kInputChanged);
  EXPECT_EQ(miss_of(cache, lookup_of("k2", "c", "i", "d2")), CacheMissReason::kDependencyChanged);
  EXPECT_EQ(miss_of(cache, lookup_of("k1"), "other"), CacheMissReason::kNotFound);
  cache->clear_node("ns", 1, std::nullopt);
  EXPECT_EQ(miss_of(cache, lookup_of("k1")), CacheMissReason::kInvalidated);
  put(cache, lookup_of("k1"), number(2.0));
  cache->clear_namespace("ns");
  EXPECT_EQ(miss_of(cache, lookup_of("k1")), CacheMissReason::kInvalidated);
  cache->clear_all();
  EXPECT_EQ(miss_of(cache, lookup_of("k1")), CacheMissReason::kNotFound);
  const DiskCacheStats stats = cache->disk_stats();
  EXPECT_EQ(stats.cache.entries, 0u);
  EXPECT_EQ(stats.bytes, 0u);
}

TEST_F(DiskBackend, NestedNamespacesAreClearedWithTheirParent) {
  Backend cache = open();
  put(cache, lookup_of("k"), number(1), "a::b");
  put(cache, lookup_of("k"), number(2), "ab");
  cache->clear_namespace("a");
  EXPECT_EQ(miss_of(cache, lookup_of("k"), "a::b"), CacheMissReason::kNotFound);
  EXPECT_EQ(hit_value(cache, lookup_of("k"), "ab"), 2.0);
}

TEST_F(DiskBackend, LeastRecentlyUsedGoesFirstAndExpiryUsesTheWallClock) {
  DiskCacheOptions options;
  options.max_entries = 2;
  Backend cache = open(options);
  put(cache, lookup_of("a", "c", "a", "d", "id=1;"), number(1));
  put(cache, lookup_of("b", "c", "b", "d", "id=2;"), number(2));
  std::this_thread::sleep_for(2ms);
  EXPECT_TRUE(hit_value(cache, lookup_of("a", "c", "a", "d", "id=1;")));
  put(cache, lookup_of("c", "c", "c", "d", "id=3;"), number(3));  // evicts b
  EXPECT_TRUE(hit_value(cache, lookup_of("a", "c", "a", "d", "id=1;")));
  EXPECT_FALSE(hit_value(cache, lookup_of("b", "c", "b", "d", "id=2;")));
  EXPECT_EQ(cache->stats().evictions, 1u);
  cache->close();

  DiskCacheOptions short_lived;
  short_lived.ttl = std::chrono::duration<double>(0.05);
  Backend expiring = open(short_lived);
  put(expiring, lookup_of("t"), number(1));
  EXPECT_TRUE(hit_value(expiring, lookup_of("t")));
  std::this_thread::sleep_for(80ms);
  EXPECT_EQ(miss_of(expiring, lookup_of("t")), CacheMissReason::kExpired);
  EXPECT_EQ(expiring->stats().expirations, 1u);
}

TEST_F(DiskBackend, LargeValuesGoToCheckedFiles) {
  DiskCacheOptions options;
  options.inline_limit = 64;
  Backend cache = open(options);
  DataMap big{{"out", GraphData::from_float_vec(std::vector<double>(100, 0.25))}};
  ASSERT_TRUE(put(cache, lookup_of("big"), big).stored);
  cache->close();  // commits the batch
  std::vector<std::filesystem::path> files;
  for (const auto& item : std::filesystem::directory_iterator(root_ + "/cache/values")) files.push_back(item.path());
  ASSERT_EQ(files.size(), 1u);
  {
    std::fstream file(files[0], std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(40);
    file.put('\x7f');
  }
  Backend reopened = open(options);
  EXPECT_EQ(miss_of(reopened, lookup_of("big")), CacheMissReason::kNotFound);
  const std::vector<std::string> notices = reopened->take_notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("damaged"), std::string::npos);
}

TEST_F(DiskBackend, OpaqueValuesWithoutACodecAreNotStored) {
  Backend cache = open();
  const PutResult result = put(cache, lookup_of("o"), {{"obj", GraphData::from_py_object(PyObjectRef())}});
  EXPECT_FALSE(result.stored);
  EXPECT_NE(result.problem.find("obj"), std::string::npos);
  EXPECT_EQ(cache->disk_stats().store_failures, 1u);
  EXPECT_EQ(miss_of(cache, lookup_of("o")), CacheMissReason::kNotFound);
}

TEST_F(DiskBackend, ClaimsExcludeOtherThreadsAndOtherStoreObjects) {
  Backend cache = open();
  Backend other = open();  // another open of the store: like another process
  EXPECT_EQ(cache->begin_compute("ns", "k"), ComputeClaim::kAcquired);
  EXPECT_EQ(cache->begin_compute("ns", "k"), ComputeClaim::kHeldByCaller);
  EXPECT_EQ(std::async(std::launch::async, [&] { return cache->begin_compute("ns", "k"); }).get(),
            ComputeClaim::kBusy);
  EXPECT_EQ(other->begin_compute("ns", "k"), ComputeClaim::kBusy);
  EXPECT_FALSE(other->wait_for_compute("ns", "k", 20ms));

  auto waiter = std::async(std::launch::async, [&] { return other->wait_for_compute("ns", "k", 10s); });
  EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
  put(cache, lookup_of("k"), number(7));
  cache->finish_compute("ns", "k");
  EXPECT_TRUE(waiter.get());
  EXPECT_EQ(hit_value(other, lookup_of("k")), 7.0);
  EXPECT_EQ(other->begin_compute("ns", "k"), ComputeClaim::kAcquired);
  other->finish_compute("ns", "k");

  // A closed owner's claims end with it.
  EXPECT_EQ(cache->begin_compute("ns", "gone"), ComputeClaim::kAcquired);
  cache->close();
  EXPECT_TRUE(other->wait_for_compute("ns", "gone", 1s));
  EXPECT_EQ(other->begin_compute("ns", "gone"), ComputeClaim::kAcquired);
}

TEST_F(DiskBackend, AClaimOutlivingItsLeaseIsNoLongerWaitedFor) {
  DiskCacheOptions options;
  options.lease = 100ms;
  Backend owner = open(options);
  Backend other = open(options);
  EXPECT_EQ(owner->begin_compute("ns", "k"), ComputeClaim::kAcquired);
  EXPECT_EQ(other->begin_compute("ns", "k"), ComputeClaim::kBusy);
  EXPECT_FALSE(other->wait_for_compute("ns", "k", 20ms));
  EXPECT_TRUE(other->wait_for_compute("ns", "k", 2s));  // returns once the lease has run out
  EXPECT_EQ(other->begin_compute("ns", "k"), ComputeClaim::kAcquired);
  other->finish_compute("ns", "k");
  owner->finish_compute("ns", "k");
}

TEST_F(DiskBackend, AClearLetsWaitersClaimAfresh) {
  Backend owner = open();
  Backend waiter_store = open();
  EXPECT_EQ(owner->begin_compute("ns", "k"), ComputeClaim::kAcquired);
  auto waiter = std::async(std::launch::async, [&] { return waiter_store->wait_for_compute("ns", "k", 10s); });
  EXPECT_EQ(waiter.wait_for(50ms), std::future_status::timeout);
  waiter_store->clear_namespace("ns");
  EXPECT_TRUE(waiter.get());
  EXPECT_EQ(waiter_store->begin_compute("ns", "k"), ComputeClaim::kAcquired);
  owner->finish_compute("ns", "k");  // ends its own old claim only
  // As the engine does: a lookup first, which also learns of the clear.
  EXPECT_EQ(miss_of(owner, lookup_of("k")), CacheMissReason::kNotFound);
  EXPECT_EQ(owner->begin_compute("ns", "k"), ComputeClaim::kBusy);
  waiter_store->finish_compute("ns", "k");
}

TEST_F(DiskBackend, BadPathsAndNewerFormatsAreRefused) {
  const std::string file = root_ + "/file";
  std::ofstream(file) << "x";
  DiskCacheOptions options;
  options.path = file;
  EXPECT_THROW(DiskCacheBackend::open(options), DiskCacheError);
  options.path = file + "/below";
  EXPECT_THROW(DiskCacheBackend::open(options), DiskCacheError);
}

}  // namespace
}  // namespace quillon
