// DiskCacheBackend: a cache store in a directory, shared by the threads of
// one process and by the processes of one machine, that outlives them all.
//
// The directory holds one SQLite database (cache.db, in WAL mode) with the
// entries, fingerprints, invalidations, claims and totals, and a values/
// folder of content-addressed files for the encoded outputs that are too
// large to keep inside the database. Every operation keeps the CacheBackend
// contract of cache/records.hpp, across processes too:
// - Entries are written in one transaction each, after the value file they
//   point to (written under a temporary name and renamed), so a process
//   killed at any moment leaves every entry whole or absent. Every value is
//   checked against its digest when read; what fails the check is a miss.
// - Least-recently-used eviction within max_entries and max_bytes, by access
//   times the store records itself (batched: hits note them in memory and
//   they reach the database with the next write, within a few hundred hits).
// - Time to live runs on the wall clock.
// - A claim is a lock the kernel keeps on one byte of claims.lock (an open
//   file description lock), so it costs no database write, and it ends by
//   itself the moment its owner process dies: the kernel knows the owner, so
//   pid reuse cannot fool it, and the next waiter takes over at once. Beside
//   the byte, the claim records its owner's process id and a lease; a claim
//   whose owner lives but outlasts its lease (a process stopped or stuck) is
//   no longer waited for: others compute the key themselves. Threads of one
//   process claim through a map of their own first. The byte is chosen by
//   the full key and by the store's clear count, which every clear raises:
//   after a clear, a key is claimed afresh on another byte while the old
//   owner finishes, as in memory. Waiters of other processes poll in short
//   slices; those of this process wait on a condition variable.
// - Opaque (Python) values go through the ObjectCodec given at open. They are
//   decoded only from a trusted store: a directory and database owned by this
//   user and writable by no one else. Native values are always readable.
// - Damage (a database that is not one, a value file whose digest does not
//   match, a full disk) is a miss or a store that does not happen, with one
//   notice each; a damaged database found at open is set aside and replaced.
//
// Thread-safe: one mutex guards the connection and the in-process claim map
// and is held for one operation at a time; encoding and decoding (which may
// take the interpreter lock) happen outside it. Notices for the user (why
// something was not stored or read) are collected for the embedding to show
// (take_notices).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "cache/records.hpp"
#include "cache/value_codec.hpp"
#include "thread_annotations.hpp"

struct sqlite3;

namespace quillon {

// A store that cannot be opened (a path that is not a usable directory, a
// database of a newer format). `error_number` is the errno behind it, 0
// when there is none.
class DiskCacheError : public std::runtime_error {
 public:
  DiskCacheError(const std::string& message, int error_number, std::string path)
      : std::runtime_error(message), error_number_(error_number), path_(std::move(path)) {}
  int error_number() const noexcept { return error_number_; }
  const std::string& path() const noexcept { return path_; }

 private:
  int error_number_;
  std::string path_;
};

inline constexpr std::uint64_t kDefaultDiskMaxBytes = std::uint64_t{1} << 30;

struct DiskCacheOptions {
  std::string path;
  std::optional<std::uint64_t> max_entries;  // none: no limit
  std::uint64_t max_bytes = kDefaultDiskMaxBytes;
  std::optional<std::chrono::duration<double>> ttl;
  // Encodes opaque values; null: they are never stored.
  std::shared_ptr<const ObjectCodec> codec;
  // Encoded outputs above this many bytes go to a value file.
  std::size_t inline_limit = 32 * 1024;
  // How long other processes wait for a claim whose owner is alive.
  std::chrono::milliseconds lease = std::chrono::minutes(10);
};

struct DiskCacheStats {
  CacheStats cache;
  std::uint64_t bytes = 0;
  std::uint64_t max_bytes = 0;
  std::uint64_t store_failures = 0;
};

class DiskCacheBackend final : public CacheBackend {
 public:
  // Opens (creating when missing) the store in options.path. Throws
  // DiskCacheError when the path cannot hold one.
  static std::shared_ptr<DiskCacheBackend> open(DiskCacheOptions options);
  ~DiskCacheBackend() override;
  DiskCacheBackend(const DiskCacheBackend&) = delete;
  DiskCacheBackend& operator=(const DiskCacheBackend&) = delete;

  CacheGetResult get(const std::string& ns, const CacheLookup& lookup) override EXCLUDES(mu_);
  PutResult put(const std::string& ns, std::string key, CacheEntry entry) override EXCLUDES(mu_);
  CacheStats stats() override EXCLUDES(mu_);
  void clear_all() override EXCLUDES(mu_);
  void clear_namespace(const std::string& ns) override EXCLUDES(mu_);
  void clear_node(const std::string& ns, std::uint64_t node_id,
                  const std::optional<std::string>& version) override EXCLUDES(mu_);
  ComputeClaim begin_compute(const std::string& ns, const std::string& key) override EXCLUDES(mu_);
  bool wait_for_compute(const std::string& ns, const std::string& key, std::chrono::milliseconds timeout) override
      EXCLUDES(mu_);
  void finish_compute(const std::string& ns, const std::string& key) override EXCLUDES(mu_);
  // Commits the open batch of writes, with the access times of the hits
  // so far.
  void flush() override EXCLUDES(mu_);

  DiskCacheStats disk_stats() EXCLUDES(mu_);
  // The notices gathered since the last call, oldest first.
  std::vector<std::string> take_notices() EXCLUDES(mu_);
  // Ends the use of the store: pending access times are written and the
  // database is closed. Afterwards every lookup misses, nothing is stored,
  // and claims are this process's alone. Idempotent.
  void close() EXCLUDES(mu_);
  bool closed() EXCLUDES(mu_);

  const std::string& path() const noexcept { return path_; }
  // The options it was opened with, so that the same store can be opened
  // again elsewhere.
  const DiskCacheOptions& options() const noexcept { return options_; }
  // Whether opaque values may be decoded from this store.
  bool trusted() const noexcept { return trusted_; }

 private:
  class Connection;

  explicit DiskCacheBackend(DiskCacheOptions options);
  std::unique_ptr<Connection> open_connection(const std::string& file) const;
  // In a child made by fork: the connection, claims file and threads came
  // from the parent and must not be used here; opens its own.
  void reopen_after_fork_locked() REQUIRES(mu_);

  // Requires: mu_ held (for every *_locked member).
  void flush_accesses_locked() REQUIRES(mu_);
  // Commits the open batch of writes when it is due (or `now`), then ends
  // the claims that waited for it.
  void settle_locked(bool now) REQUIRES(mu_);
  void batch_failed_locked(const std::string& why) REQUIRES(mu_);
  void release_deferred_claims_locked() REQUIRES(mu_);
  // The flusher thread: commits a batch that no later write commits.
  void flush_loop() EXCLUDES(mu_);
  void notice_locked(std::string text) REQUIRES(mu_);
  // Marks the database unusable after an error it reported as damage.
  void database_failed_locked(const std::exception& error) REQUIRES(mu_);
  // The last store of an identity, and what a lookup learned about a miss.
  struct Fingerprint {
    std::string key, code_hash, input_hash, deps_signature;
  };
  struct MissFacts {
    bool invalidated = false;
    std::optional<Fingerprint> fingerprint;
  };
  CacheMissReason classify_miss_locked(const std::string& ns, const CacheLookup& lookup, const MissFacts& facts)
      REQUIRES(mu_);
  // Removes one entry inside the caller's transaction; returns its value
  // file (to delete once committed and unreferenced), if any.
  std::optional<std::string> remove_entry_locked(const std::string& full_key) REQUIRES(mu_);
  void delete_unreferenced_files_locked(const std::vector<std::string>& files) REQUIRES(mu_);
  // Runs a clear's writes (`body`, which returns the value files of the
  // entries it removed) and commits them at once: other processes see a
  // clear promptly. Then deletes the files nothing refers to any more and
  // wakes every waiter.
  template <typename Body>
  void run_clear_locked(Body&& body) REQUIRES(mu_);
  // The claim byte of `full_key` under the store's clear count: the one the
  // last lookup saw, or read afresh.
  std::uint64_t claim_slot_locked(const std::string& full_key, bool fresh) REQUIRES(mu_);
  // Whether a process other than this one holds the lock on `slot` and its
  // lease has not run out.
  bool slot_held_elsewhere_locked(std::uint64_t slot) REQUIRES(mu_);
  // The lease recorded for `slot` has run out.
  bool lease_ran_out_locked(std::uint64_t slot) REQUIRES(mu_);

  std::optional<std::string> read_value_file(const std::string& address);
  // Writes `bytes` under their content address; the problem when it fails.
  std::optional<std::string> write_value_file(const std::string& address, const std::string& bytes);
  std::string value_file_path(const std::string& address) const;
  void quarantine_value_file(const std::string& address);

  // Constant after construction.
  const DiskCacheOptions options_;
  const std::string path_;
  bool trusted_ = false;

  Mutex mu_;
  CondVar claims_changed_;
  std::unique_ptr<Connection> db_ GUARDED_BY(mu_);  // null once closed or failed
  int claims_fd_ GUARDED_BY(mu_) = -1;               // claims.lock; -1 once closed
  // Claims of this process: full key -> owning thread and the byte it locks
  // (none when the store was closed or its lock failed).
  struct LocalClaim {
    std::thread::id owner;
    std::optional<std::uint64_t> slot;
  };
  std::unordered_map<std::string, LocalClaim> local_claims_ GUARDED_BY(mu_);
  // Bytes still locked by claims that a clear ended here, by full key: their
  // owners' finish_compute unlocks them.
  std::unordered_multimap<std::string, std::uint64_t> cleared_slots_ GUARDED_BY(mu_);
  // Hits not yet written: full key -> access time.
  std::unordered_map<std::string, std::int64_t> pending_accesses_ GUARDED_BY(mu_);
  std::vector<std::string> notices_ GUARDED_BY(mu_);
  std::string clears_seen_ GUARDED_BY(mu_);  // the clear count the last read saw
  // Stores in the open batch, and claim bytes to unlock once it is
  // committed: other processes see a key free only when its value is there.
  std::size_t batch_puts_ GUARDED_BY(mu_) = 0;
  std::vector<std::uint64_t> deferred_unlocks_ GUARDED_BY(mu_);
  bool stopping_ GUARDED_BY(mu_) = false;
  bool flusher_armed_ GUARDED_BY(mu_) = false;  // told of the open batch
  CondVar flusher_wake_;
  // Held by pointer: a child of fork has no such thread and only forgets it.
  std::unique_ptr<std::thread> flusher_ GUARDED_BY(mu_);
  std::uint64_t fork_generation_ GUARDED_BY(mu_) = 0;
  bool told_full_ GUARDED_BY(mu_) = false;
  bool told_untrusted_ GUARDED_BY(mu_) = false;
  CacheStats counters_ GUARDED_BY(mu_);
  std::uint64_t store_failures_ GUARDED_BY(mu_) = 0;
  std::atomic<std::uint64_t> temp_counter_{0};
};

}  // namespace quillon
