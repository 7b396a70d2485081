#include "cache/disk_backend.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <iterator>
#include <utility>

#include "cache/keys.hpp"

namespace quillon {

namespace {

constexpr int kFormatVersion = 1;
constexpr char kDatabaseName[] = "cache.db";
constexpr char kValuesFolder[] = "values";
// Hits noted in memory before they are written in one transaction.
constexpr std::size_t kPendingAccessLimit = 256;
// Group commit: a batch of writes is committed once it is this old, or
// holds this many stores, whichever comes first.
constexpr std::chrono::milliseconds kBatchWindow{2};
constexpr std::size_t kBatchPuts = 256;
// How often a waiter looks at the database for a claim of another process.
constexpr std::chrono::milliseconds kClaimPoll{2};

// A failure SQLite reported; `code` is its extended result code.
class SqliteError : public std::runtime_error {
 public:
  SqliteError(const std::string& message, int code) : std::runtime_error(message), code_(code) {}
  int code() const noexcept { return code_; }
  // Whether the database file itself is damaged or not a database.
  bool damaged() const noexcept {
    const int primary = code_ & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
  }
  bool full() const noexcept { return (code_ & 0xff) == SQLITE_FULL; }

 private:
  int code_;
};

std::int64_t wall_nanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Whether the file system under `path` is a network one, on which SQLite's
// locking cannot be trusted.
std::optional<std::string> network_file_system(const std::string& path) {
  struct statfs info {};
  if (statfs(path.c_str(), &info) != 0) return std::nullopt;
  switch (static_cast<unsigned long>(info.f_type)) {
    case 0x6969UL:
      return "NFS";
    case 0x517BUL:
    case 0xFF534D42UL:
    case 0xFE534D42UL:
      return "SMB";
    default:
      return std::nullopt;
  }
}

// How many times this process is a child of fork (counted in the child).
std::atomic<std::uint64_t> g_fork_generation{0};

std::uint64_t fork_generation() {
  static const bool registered = [] {
    ::pthread_atfork(nullptr, nullptr, [] { g_fork_generation.fetch_add(1, std::memory_order_relaxed); });
    return true;
  }();
  static_cast<void>(registered);
  return g_fork_generation.load(std::memory_order_relaxed);
}

// Claim bytes are the first 2^20 bytes of the claims file (offset 0 is never
// one); beyond them, at 2^21, each claim byte has a record of its owner. The
// file stays sparse and below 20 MB. Two keys on one byte only make one wait
// for the other's computation, and only while both are being computed.
constexpr std::uint64_t kSlotMask = (std::uint64_t{1} << 20) - 1;
constexpr std::uint64_t kRecordBase = std::uint64_t{1} << 21;

// Who holds a claim byte, and until when the others wait for it.
struct ClaimRecord {
  std::int64_t pid;
  std::int64_t lease_until_ns;  // wall clock
};

off_t record_offset(std::uint64_t slot) { return static_cast<off_t>(kRecordBase + slot * sizeof(ClaimRecord)); }

// A lock request on one byte of the claims file.
struct flock byte_lock(short type, std::uint64_t slot) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(slot);
  lock.l_len = 1;
  lock.l_pid = 0;  // required for open file description locks
  return lock;
}

[[noreturn]] void throw_errno(const std::string& what, const std::string& path, int error) {
  throw DiskCacheError(what + " '" + path + "': " + std::strerror(error), error, path);
}

// Creates `path` and its missing parents; the last one owner-only.
void make_directory(const std::string& path) {
  std::string partial;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    const std::size_t end = slash == std::string::npos ? path.size() : slash;
    partial = path.substr(0, end);
    start = end + 1;
    if (partial.empty()) continue;
    const bool last = end == path.size();
    if (::mkdir(partial.c_str(), last ? 0700 : 0777) != 0 && errno != EEXIST) {
      throw_errno("cannot create the cache directory", partial, errno);
    }
    if (slash == std::string::npos) break;
  }
}

// Owned by this user and writable by no one else.
bool private_to_owner(const struct stat& info) {
  return info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string mode_text(const struct stat& info) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return text;
}

}  // namespace

// One SQLite connection and its prepared statements.
class DiskCacheBackend::Connection {
 public:
  class Statement {
   public:
    Statement(Connection& db, const char* sql) : db_(db) {
      db_.check(sqlite3_prepare_v3(db_.handle_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr), sql);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& reset() {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
      next_ = 1;
      return *this;
    }
    Statement& bind(std::string_view text) {
      db_.check(sqlite3_bind_blob(stmt_, next_++, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT),
                "bind");
      return *this;
    }
    Statement& bind(std::int64_t value) {
      db_.check(sqlite3_bind_int64(stmt_, next_++, value), "bind");
      return *this;
    }
    Statement& bind_double(double value) {
      db_.check(sqlite3_bind_double(stmt_, next_++, value), "bind");
      return *this;
    }
    Statement& bind_null() {
      db_.check(sqlite3_bind_null(stmt_, next_++), "bind");
      return *this;
    }
    // True while a row is available.
    bool step() {
      const int rc = sqlite3_step(stmt_);
      if (rc == SQLITE_ROW) return true;
      if (rc == SQLITE_DONE) return false;
      const int code = sqlite3_extended_errcode(db_.handle_);
      sqlite3_reset(stmt_);
      throw SqliteError(std::string("cache database: ") + sqlite3_errmsg(db_.handle_), code);
    }
    void run() {
      step();
      sqlite3_reset(stmt_);
    }
    std::string text(int column) {
      const void* data = sqlite3_column_blob(stmt_, column);
      const int size = sqlite3_column_bytes(stmt_, column);
      return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
    }
    std::int64_t integer(int column) { return sqlite3_column_int64(stmt_, column); }
    double real(int column) { return sqlite3_column_double(stmt_, column); }
    bool null(int column) { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

   private:
    Connection& db_;
    sqlite3_stmt* stmt_ = nullptr;
    int next_ = 1;
  };

  // A read transaction: the statements inside see one state of the
  // database and take its read lock once. Inside an open batch it is the
  // batch (which sees its own writes). Ended by end() or on unwinding.
  class ReadTransaction {
   public:
    explicit ReadTransaction(Connection& db) : db_(db), own_(!db.batch_open_) {
      if (own_) db_.statement("BEGIN").run();
    }
    ~ReadTransaction() {
      if (own_ && !done_) sqlite3_exec(db_.handle_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void end() {
      if (own_) db_.statement("COMMIT").run();
      done_ = true;
    }

   private:
    Connection& db_;
    bool own_;
    bool done_ = false;
  };

  // Writes join the open batch, a write transaction that stays open across
  // operations until the backend commits it (group commit: one log write
  // and one lock round for many stores). A write that fails rolls the whole
  // batch back; the backend then counts what was lost.
  class Write {
   public:
    explicit Write(Connection& db) : db_(db) { db_.begin_batch(); }
    ~Write() {
      if (!kept_) db_.rollback_batch();
    }
    void keep() { kept_ = true; }

   private:
    Connection& db_;
    bool kept_ = false;
  };

  void begin_batch() {
    if (batch_open_) return;
    exec("BEGIN IMMEDIATE");
    batch_open_ = true;
    batch_since_ = std::chrono::steady_clock::now();
  }
  void commit_batch() {
    if (!batch_open_) return;
    exec("COMMIT");
    batch_open_ = false;
  }
  void rollback_batch() {
    if (!batch_open_) return;
    sqlite3_exec(handle_, "ROLLBACK", nullptr, nullptr, nullptr);
    batch_open_ = false;
    batch_lost_ = true;
  }
  bool batch_open() const noexcept { return batch_open_; }
  std::chrono::steady_clock::time_point batch_since() const noexcept { return batch_since_; }
  // Whether a batch was rolled back since the last call.
  bool take_batch_lost() noexcept { return std::exchange(batch_lost_, false); }

  explicit Connection(const std::string& file) {
    const int rc = sqlite3_open_v2(file.c_str(), &handle_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
      const std::string message = handle_ != nullptr ? sqlite3_errmsg(handle_) : "out of memory";
      const int code = handle_ != nullptr ? sqlite3_extended_errcode(handle_) : rc;
      sqlite3_close_v2(handle_);
      handle_ = nullptr;
      throw SqliteError("cannot open the cache database: " + message, code);
    }
    sqlite3_extended_result_codes(handle_, 1);
    sqlite3_busy_timeout(handle_, 30000);
  }
  ~Connection() {
    statements_.clear();
    sqlite3_close_v2(handle_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void exec(const char* sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(handle_, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
      std::string message = error != nullptr ? error : sqlite3_errstr(rc);
      sqlite3_free(error);
      throw SqliteError("cache database: " + message, sqlite3_extended_errcode(handle_));
    }
  }
  void check(int rc, const char* what) {
    if (rc != SQLITE_OK) {
      throw SqliteError(std::string("cache database (") + what + "): " + sqlite3_errmsg(handle_),
                        sqlite3_extended_errcode(handle_));
    }
  }
  // The statement for `sql`, prepared once per connection.
  Statement& statement(const char* sql) {
    auto it = statements_.find(sql);
    if (it == statements_.end()) it = statements_.emplace(sql, std::make_unique<Statement>(*this, sql)).first;
    return it->second->reset();
  }

 private:
  sqlite3* handle_ = nullptr;
  bool batch_open_ = false;
  bool batch_lost_ = false;
  std::chrono::steady_clock::time_point batch_since_;
  std::unordered_map<const char*, std::unique_ptr<Statement>> statements_;
};

namespace {

constexpr char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS totals (id INTEGER PRIMARY KEY CHECK (id = 0), entries INTEGER NOT NULL,
                                   bytes INTEGER NOT NULL);
INSERT OR IGNORE INTO totals VALUES (0, 0, 0);
CREATE TABLE IF NOT EXISTS entries (
  full_key BLOB PRIMARY KEY, ns BLOB NOT NULL, identity BLOB NOT NULL,
  expires_at REAL, accessed INTEGER NOT NULL, size INTEGER NOT NULL,
  digest BLOB NOT NULL, value BLOB, file TEXT) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS entries_by_access ON entries (accessed);
CREATE INDEX IF NOT EXISTS entries_by_file ON entries (file) WHERE file IS NOT NULL;
CREATE TABLE IF NOT EXISTS fingerprints (
  ns BLOB NOT NULL, identity BLOB NOT NULL, key BLOB NOT NULL, code_hash BLOB NOT NULL,
  input_hash BLOB NOT NULL, deps_signature BLOB NOT NULL, PRIMARY KEY (ns, identity)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS invalidations (ns BLOB NOT NULL, identity BLOB NOT NULL,
                                          PRIMARY KEY (ns, identity)) WITHOUT ROWID;
INSERT OR IGNORE INTO meta VALUES ('clears', '0');
)sql";

// Bounds of the full keys under namespace `ns` and the namespaces nested in
// it: [ns + "::", ns + ":;").
std::pair<std::string, std::string> namespace_range(const std::string& ns) {
  return {ns + "::", ns + ":;"};
}

}  // namespace

std::shared_ptr<DiskCacheBackend> DiskCacheBackend::open(DiskCacheOptions options) {
  return std::shared_ptr<DiskCacheBackend>(new DiskCacheBackend(std::move(options)));
}

std::unique_ptr<DiskCacheBackend::Connection> DiskCacheBackend::open_connection(const std::string& file) const {
  auto db = std::make_unique<Connection>(file);
  db->exec("PRAGMA journal_mode=WAL");
  db->exec("PRAGMA synchronous=NORMAL");
  // Reads map the file instead of copying pages through read calls.
  db->exec("PRAGMA mmap_size=268435456");
  db->exec("PRAGMA cache_size=-16384");
  // Fewer, larger checkpoints: each one syncs the database file.
  db->exec("PRAGMA wal_autocheckpoint=8192");
  Connection::Write schema(*db);
  db->exec(kSchema);
  Connection::Statement& format = db->statement("SELECT value FROM meta WHERE name = 'format'");
  if (format.step()) {
    const std::string text = format.text(0);
    format.reset();
    int version = 0;
    try {
      version = std::stoi(text);
    } catch (const std::exception&) {
      version = -1;
    }
    if (version > kFormatVersion) {
      throw DiskCacheError("the cache in '" + path_ + "' was written by a newer version of quillon (format " + text +
                               "; this one reads format " + std::to_string(kFormatVersion) + " and older)",
                           0, path_);
    }
    if (version != kFormatVersion) {
      throw DiskCacheError("the cache in '" + path_ + "' has an unknown format '" + text + "'", 0, path_);
    }
  } else {
    format.reset();
    db->statement("INSERT INTO meta VALUES ('format', ?)").bind(std::string(std::to_string(kFormatVersion))).run();
  }
  schema.keep();
  db->commit_batch();
  return db;
}

DiskCacheBackend::DiskCacheBackend(DiskCacheOptions options)
    : options_(std::move(options)), path_(options_.path) {
  if (path_.empty()) throw DiskCacheError("the cache path is empty", EINVAL, path_);
  struct stat info {};
  const bool existed = ::stat(path_.c_str(), &info) == 0;
  if (existed && !S_ISDIR(info.st_mode)) throw_errno("the cache path is not a directory", path_, ENOTDIR);
  if (!existed) {
    if (errno != ENOENT) throw_errno("cannot use the cache path", path_, errno);
    make_directory(path_);
    if (::stat(path_.c_str(), &info) != 0) throw_errno("cannot use the cache path", path_, errno);
  }
  if (::access(path_.c_str(), R_OK | W_OK | X_OK) != 0) throw_errno("cannot write to the cache directory", path_, errno);
  const std::string values = path_ + "/" + kValuesFolder;
  if (::mkdir(values.c_str(), 0700) != 0 && errno != EEXIST) throw_errno("cannot create", values, errno);

  std::vector<std::string> problems;
  trusted_ = private_to_owner(info);
  if (!trusted_) {
    problems.push_back("quillon: the cache directory '" + path_ + "' is " +
                       (info.st_uid != ::geteuid() ? std::string("owned by another user")
                                                   : "writable by other users (mode " + mode_text(info) + ")") +
                       ": objects stored by pickling will not be read from it, since unpickling can run code");
  }
  if (auto kind = network_file_system(path_)) {
    problems.push_back("quillon: the cache directory '" + path_ + "' is on a network file system (" + *kind +
                       "), where the database's locking is unsafe; keep caches on a local disk");
  }

  const std::string file = path_ + "/" + kDatabaseName;
  struct stat db_info {};
  if (::stat(file.c_str(), &db_info) == 0 && trusted_ && !private_to_owner(db_info)) {
    trusted_ = false;
    problems.push_back("quillon: the cache database '" + file + "' is writable by other users or owned by another "
                       "user: objects stored by pickling will not be read from it, since unpickling can run code");
  }

  auto open_database = [&] { return open_connection(file); };

  // A damaged database (found now, or marked by a process that met the
  // damage while using it) is set aside with its value files, and a new one
  // is started: nothing in it can be trusted to be whole.
  const std::string marker = file + ".damaged";
  auto set_aside = [&](const std::string& why) {
    const std::string aside = file + ".damaged-" + std::to_string(wall_nanos());
    for (const char* suffix : {"", "-wal", "-shm"}) {
      const std::string from = file + suffix;
      if (::rename(from.c_str(), (aside + suffix).c_str()) != 0 && errno != ENOENT) {
        throw_errno("cannot set aside the damaged cache database", from, errno);
      }
    }
    if (::rename(values.c_str(), (aside + "-values").c_str()) != 0 && errno != ENOENT) {
      throw_errno("cannot set aside the value files of a damaged cache", values, errno);
    }
    if (::mkdir(values.c_str(), 0700) != 0 && errno != EEXIST) throw_errno("cannot create", values, errno);
    ::unlink(marker.c_str());
    problems.push_back("quillon: the cache database '" + file + "' was damaged (" + why + "); it was moved to '" +
                       aside + "' and a new one started");
  };
  if (::access(marker.c_str(), F_OK) == 0) set_aside("found while in use");
  std::unique_ptr<Connection> db;
  try {
    db = open_database();
  } catch (const SqliteError& error) {
    if (!error.damaged()) throw DiskCacheError(std::string(error.what()) + " ('" + file + "')", 0, path_);
    set_aside(error.what());
    db = open_database();
  }
  ::chmod(file.c_str(), 0600);
  const std::string claims = path_ + "/claims.lock";
  const int claims_fd = ::open(claims.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (claims_fd < 0) throw_errno("cannot open", claims, errno);
  {
    MutexLock lock(mu_);
    claims_fd_ = claims_fd;
    db_ = std::move(db);
    notices_ = std::move(problems);
    counters_.max_entries = options_.max_entries.value_or(0);
  }
  MutexLock lock(mu_);
  fork_generation_ = fork_generation();
  flusher_ = std::make_unique<std::thread>([this] { flush_loop(); });
}

void DiskCacheBackend::reopen_after_fork_locked() {
  mu_.assert_held();
  if (fork_generation_ == fork_generation()) return;
  fork_generation_ = fork_generation();
  // The parent's connection and thread live on in the parent; here they are
  // forgotten, not closed, so that nothing of the parent's is touched.
  static_cast<void>(db_.release());
  static_cast<void>(flusher_.release());
  if (claims_fd_ >= 0) ::close(claims_fd_);  // the parent's locks stay with the parent's copy
  claims_fd_ = -1;
  local_claims_.clear();
  cleared_slots_.clear();
  deferred_unlocks_.clear();
  pending_accesses_.clear();
  batch_puts_ = 0;
  flusher_armed_ = false;
  if (stopping_) return;
  const std::string file = path_ + "/" + kDatabaseName;
  try {
    db_ = open_connection(file);
  } catch (const std::exception& error) {
    notice_locked("quillon: the cache in '" + path_ + "' could not be opened again in a child process (" +
                  error.what() + "); lookups miss there");
    return;
  }
  claims_fd_ = ::open((path_ + "/claims.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  flusher_ = std::make_unique<std::thread>([this] { flush_loop(); });
}

void DiskCacheBackend::flush() {
  MutexLock lock(mu_);
  reopen_after_fork_locked();
  if (db_ && !pending_accesses_.empty()) {
    // The run's hits count for eviction order even if this process ends now.
    try {
      Connection::Write write(*db_);
      flush_accesses_locked();
      write.keep();
    } catch (const SqliteError& error) {
      if (error.damaged()) database_failed_locked(error);
    }
  }
  settle_locked(true);
}

DiskCacheBackend::~DiskCacheBackend() { close(); }

void DiskCacheBackend::settle_locked(bool now) {
  mu_.assert_held();
  if (db_ && db_->take_batch_lost()) batch_failed_locked("a write failed");
  if (!db_ || !db_->batch_open()) {
    release_deferred_claims_locked();
    return;
  }
  if (!now && batch_puts_ < kBatchPuts && std::chrono::steady_clock::now() - db_->batch_since() < kBatchWindow) {
    if (!flusher_armed_) {
      flusher_armed_ = true;
      flusher_wake_.notify_all();
    }
    return;
  }
  try {
    db_->commit_batch();
    batch_puts_ = 0;
  } catch (const SqliteError& error) {
    db_->rollback_batch();
    db_->take_batch_lost();
    batch_failed_locked(error.what());
    if (error.damaged()) database_failed_locked(error);
  }
  release_deferred_claims_locked();
}

void DiskCacheBackend::batch_failed_locked(const std::string& why) {
  mu_.assert_held();
  if (batch_puts_ == 0) return;
  store_failures_ += batch_puts_;
  notice_locked("quillon: " + std::to_string(batch_puts_) + " result(s) could not be written to the cache in '" + path_ +
                "' (" + why + "); they were not kept");
  batch_puts_ = 0;
}

void DiskCacheBackend::release_deferred_claims_locked() {
  mu_.assert_held();
  if (deferred_unlocks_.empty()) return;
  for (const std::uint64_t slot : deferred_unlocks_) {
    struct flock release = byte_lock(F_UNLCK, slot);
    if (claims_fd_ >= 0) ::fcntl(claims_fd_, F_OFD_SETLK, &release);
  }
  deferred_unlocks_.clear();
}

void DiskCacheBackend::flush_loop() {
  MutexLock lock(mu_);
  while (!stopping_) {
    // Idle until a batch opens, then awake until it is committed.
    if (db_ && db_->batch_open()) {
      flusher_wake_.wait_for(mu_, kBatchWindow);
    } else {
      flusher_armed_ = false;
      flusher_wake_.wait(mu_);
    }
    if (!stopping_) settle_locked(false);
  }
}

void DiskCacheBackend::notice_locked(std::string text) {
  mu_.assert_held();
  notices_.push_back(std::move(text));
}

void DiskCacheBackend::database_failed_locked(const std::exception& error) {
  mu_.assert_held();
  notice_locked("quillon: the cache database in '" + path_ + "' is damaged (" + error.what() +
                "); lookups miss and nothing is stored until it is opened again, which starts a new one");
  // Tells the next open, in any process, to set the database aside.
  const int fd = ::open((path_ + "/" + kDatabaseName + ".damaged").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  db_.reset();
}

std::string DiskCacheBackend::value_file_path(const std::string& address) const {
  return path_ + "/" + kValuesFolder + "/" + address;
}

std::optional<std::string> DiskCacheBackend::read_value_file(const std::string& address) {
  const int fd = ::open(value_file_path(address).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size > 0) bytes.resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  if (done != bytes.size()) return std::nullopt;
  return bytes;
}

std::optional<std::string> DiskCacheBackend::write_value_file(const std::string& address, const std::string& bytes) {
  const std::string target = value_file_path(address);
  struct stat info {};
  if (::stat(target.c_str(), &info) == 0 && static_cast<std::size_t>(info.st_size) == bytes.size()) {
    return std::nullopt;  // the same content is already there (its digest is checked on reading)
  }
  const std::string temp = path_ + "/" + kValuesFolder + "/.tmp-" + std::to_string(::getpid()) + "-" +
                           std::to_string(temp_counter_.fetch_add(1));
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return std::string("cannot write a value file: ") + std::strerror(errno);
  std::size_t done = 0;
  int error = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      error = wrote < 0 ? errno : EIO;
      break;
    }
    done += static_cast<std::size_t>(wrote);
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    return std::string("cannot write a value file: ") + std::strerror(error);
  }
  return std::nullopt;
}

void DiskCacheBackend::quarantine_value_file(const std::string& address) {
  const std::string from = value_file_path(address);
  const std::string to = from + ".damaged-" + std::to_string(wall_nanos());
  ::rename(from.c_str(), to.c_str());
}

void DiskCacheBackend::flush_accesses_locked() {
  mu_.assert_held();
  if (pending_accesses_.empty() || !db_) return;
  Connection::Statement& touch = db_->statement("UPDATE entries SET accessed = ? WHERE full_key = ? AND accessed < ?");
  for (const auto& [full_key, when] : pending_accesses_) touch.reset().bind(when).bind(full_key).bind(when).run();
  pending_accesses_.clear();
}

std::optional<std::string> DiskCacheBackend::remove_entry_locked(const std::string& full_key) {
  mu_.assert_held();
  Connection::Statement& find = db_->statement("SELECT ns, identity, size, file FROM entries WHERE full_key = ?");
  find.bind(full_key);
  if (!find.step()) return std::nullopt;
  const std::string ns = find.text(0);
  const std::string identity = find.text(1);
  const std::int64_t size = find.integer(2);
  std::optional<std::string> file;
  if (!find.null(3)) file = find.text(3);
  find.reset();
  db_->statement("DELETE FROM entries WHERE full_key = ?").bind(full_key).run();
  db_->statement("UPDATE totals SET entries = entries - 1, bytes = bytes - ? WHERE id = 0").bind(size).run();
  // The fingerprint goes with the entry it names.
  const std::string key = full_key.substr(ns.size() + 2);
  db_->statement("DELETE FROM fingerprints WHERE ns = ? AND identity = ? AND key = ?").bind(ns).bind(identity).bind(key).run();
  pending_accesses_.erase(full_key);
  return file;
}

void DiskCacheBackend::delete_unreferenced_files_locked(const std::vector<std::string>& files) {
  mu_.assert_held();
  for (const std::string& address : files) {
    Connection::Statement& used = db_->statement("SELECT 1 FROM entries WHERE file = ? LIMIT 1");
    const bool referenced = used.bind(address).step();
    used.reset();
    if (!referenced) ::unlink(value_file_path(address).c_str());
  }
}

CacheMissReason DiskCacheBackend::classify_miss_locked(const std::string& ns, const CacheLookup& lookup,
                                                       const MissFacts& facts) {
  mu_.assert_held();
  if (facts.invalidated) return CacheMissReason::kInvalidated;
  if (!facts.fingerprint) return CacheMissReason::kNotFound;
  const Fingerprint& last = *facts.fingerprint;
  if (last.key == lookup.key) {
    // The entry it names is gone; nothing more specific is known.
    Connection::Write write(*db_);
    db_->statement("DELETE FROM fingerprints WHERE ns = ? AND identity = ? AND key = ?")
        .bind(ns)
        .bind(lookup.identity)
        .bind(last.key)
        .run();
    write.keep();
    settle_locked(false);
    return CacheMissReason::kNotFound;
  }
  if (last.code_hash != lookup.code_hash) return CacheMissReason::kCodeChanged;
  if (last.input_hash != lookup.input_hash) return CacheMissReason::kInputChanged;
  if (last.deps_signature != lookup.deps_signature) return CacheMissReason::kDependencyChanged;
  return CacheMissReason::kNotFound;
}

CacheGetResult DiskCacheBackend::get(const std::string& ns, const CacheLookup& lookup) {
  const std::string full_key = make_full_key(ns, lookup.key);
  std::string bytes;
  std::string digest;
  std::optional<std::string> file;
  {
    MutexLock lock(mu_);
    reopen_after_fork_locked();
    if (!db_) {
      ++counters_.misses;
      return CacheMissReason::kNotFound;
    }
    try {
      // One read transaction: the entry, or what explains its absence (and
      // the store's clear count, for the claim that follows a miss).
      bool found = false, expired = false;
      MissFacts facts;
      {
        Connection::ReadTransaction read(*db_);
        Connection::Statement& find =
            db_->statement("SELECT expires_at, digest, value, file FROM entries WHERE full_key = ?");
        found = find.bind(full_key).step();
        if (found) {
          expired = !find.null(0) && find.real(0) * 1e9 <= static_cast<double>(wall_nanos());
          digest = find.text(1);
          if (find.null(3)) {
            bytes = find.text(2);
          } else {
            file = find.text(3);
          }
        }
        find.reset();
        if (!found) {
          Connection::Statement& why = db_->statement(
              "SELECT EXISTS (SELECT 1 FROM invalidations WHERE ns = ?1 AND identity = ?2), f.key IS NOT NULL, "
              "f.key, f.code_hash, f.input_hash, f.deps_signature, (SELECT value FROM meta WHERE name = 'clears') "
              "FROM (SELECT 1) LEFT JOIN fingerprints AS f ON f.ns = ?1 AND f.identity = ?2");
          why.bind(ns).bind(lookup.identity).step();
          facts.invalidated = why.integer(0) != 0;
          if (why.integer(1) != 0) facts.fingerprint = Fingerprint{why.text(2), why.text(3), why.text(4), why.text(5)};
          clears_seen_ = why.text(6);
          why.reset();
        }
        read.end();
      }
      if (!found) {
        ++counters_.misses;
        return classify_miss_locked(ns, lookup, facts);
      }
      if (expired) {
        Connection::Write write(*db_);
        const std::optional<std::string> gone = remove_entry_locked(full_key);
        write.keep();
        if (gone) delete_unreferenced_files_locked({*gone});
        settle_locked(false);
        ++counters_.expirations;
        ++counters_.misses;
        return CacheMissReason::kExpired;
      }
      pending_accesses_[full_key] = wall_nanos();
      if (pending_accesses_.size() >= kPendingAccessLimit) {
        Connection::Write write(*db_);
        flush_accesses_locked();
        write.keep();
        settle_locked(false);
      }
    } catch (const SqliteError& error) {
      ++counters_.misses;
      if (error.damaged()) database_failed_locked(error);
      return CacheMissReason::kNotFound;
    }
  }

  // Read and check the value without the lock: decoding may take the
  // interpreter lock.
  std::string problem;
  if (file) {
    std::optional<std::string> read = read_value_file(*file);
    if (!read || hash_canonical(*read) != *file) {
      if (read) quarantine_value_file(*file);
      problem = "the value file '" + value_file_path(*file) + "' is missing or damaged";
    } else {
      bytes = std::move(*read);
    }
  } else if (hash_canonical(bytes) != digest) {
    problem = "a value in the cache database of '" + path_ + "' is damaged";
  }
  std::optional<DataMap> outputs;
  if (problem.empty()) {
    outputs = decode_outputs(bytes, trusted_ ? options_.codec.get() : nullptr);
    if (!outputs && !trusted_) problem = "untrusted";
    if (!outputs && problem.empty()) problem = "a value in the cache of '" + path_ + "' does not decode";
  }

  MutexLock lock(mu_);
  reopen_after_fork_locked();
  if (outputs) {
    ++counters_.hits;
    return std::move(*outputs);
  }
  ++counters_.misses;
  if (problem == "untrusted") {
    // Kept: another user of a trusted copy may still read it.
    if (!told_untrusted_) {
      told_untrusted_ = true;
      notice_locked("quillon: an entry of the cache in '" + path_ +
                    "' holds pickled objects, which are not read from a directory other users can write to");
    }
    return CacheMissReason::kNotFound;
  }
  notice_locked("quillon: " + problem + "; it counts as a miss and is removed");
  if (db_) {
    try {
      Connection::Write write(*db_);
      remove_entry_locked(full_key);
      write.keep();
      settle_locked(false);
    } catch (const SqliteError& error) {
      if (error.damaged()) database_failed_locked(error);
    }
  }
  return CacheMissReason::kNotFound;
}

PutResult DiskCacheBackend::put(const std::string& ns, std::string key, CacheEntry entry) {
  std::string problem;
  std::optional<std::string> bytes = encode_outputs(entry.outputs, options_.codec.get(), problem);
  if (!bytes) {
    MutexLock lock(mu_);
    reopen_after_fork_locked();
    ++store_failures_;
    return {false, std::move(problem)};
  }
  const std::string digest = hash_canonical(*bytes);
  const bool to_file = bytes->size() > options_.inline_limit;
  if (to_file) {
    if (std::optional<std::string> failed = write_value_file(digest, *bytes)) {
      MutexLock lock(mu_);
      reopen_after_fork_locked();
      ++store_failures_;
      if (!told_full_ && failed->find(std::strerror(ENOSPC)) != std::string::npos) {
        told_full_ = true;
        notice_locked("quillon: the disk of the cache in '" + path_ + "' is full; results are not being stored");
      }
      return {false, std::move(*failed)};
    }
  }

  const std::string full_key = make_full_key(ns, key);
  const std::int64_t size = static_cast<std::int64_t>(bytes->size());
  MutexLock lock(mu_);
  reopen_after_fork_locked();
  if (!db_) {
    ++store_failures_;
    return {false, "the cache in '" + path_ + "' is closed"};
  }
  std::vector<std::string> dropped_files;
  try {
    Connection::Write write(*db_);
    flush_accesses_locked();
    if (auto old = remove_entry_locked(full_key)) dropped_files.push_back(*old);
    Connection::Statement& insert = db_->statement(
        "INSERT INTO entries (full_key, ns, identity, expires_at, accessed, size, digest, value, file) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(full_key).bind(ns).bind(entry.identity);
    if (options_.ttl) {
      const double now = static_cast<double>(wall_nanos()) / 1e9;
      insert.bind_double(now + options_.ttl->count());
    } else {
      insert.bind_null();
    }
    insert.bind(wall_nanos()).bind(size).bind(digest);
    if (to_file) {
      insert.bind_null().bind(digest);
    } else {
      insert.bind(*bytes).bind_null();
    }
    insert.run();
    db_->statement("UPDATE totals SET entries = entries + 1, bytes = bytes + ? WHERE id = 0").bind(size).run();
    db_->statement("INSERT OR REPLACE INTO fingerprints VALUES (?, ?, ?, ?, ?, ?)")
        .bind(ns)
        .bind(entry.identity)
        .bind(key)
        .bind(entry.code_hash)
        .bind(entry.input_hash)
        .bind(entry.deps_signature)
        .run();
    db_->statement("DELETE FROM invalidations WHERE ns = ? AND identity = ?").bind(ns).bind(entry.identity).run();

    // Evict the least recently used entries beyond either bound; never the
    // one just stored.
    for (;;) {
      Connection::Statement& totals = db_->statement("SELECT entries, bytes FROM totals WHERE id = 0");
      totals.step();
      const std::uint64_t entries = static_cast<std::uint64_t>(totals.integer(0));
      const std::uint64_t stored_bytes = static_cast<std::uint64_t>(totals.integer(1));
      totals.reset();
      const bool over = (options_.max_entries && entries > *options_.max_entries) || stored_bytes > options_.max_bytes;
      if (!over || entries <= 1) break;
      Connection::Statement& oldest =
          db_->statement("SELECT full_key FROM entries WHERE full_key != ? ORDER BY accessed LIMIT 1");
      if (!oldest.bind(full_key).step()) break;
      const std::string victim = oldest.text(0);
      oldest.reset();
      if (auto file = remove_entry_locked(victim)) dropped_files.push_back(*file);
      ++counters_.evictions;
    }
    write.keep();
    ++batch_puts_;
  } catch (const SqliteError& error) {
    ++store_failures_;
    settle_locked(false);  // counts the stores the failed batch took with it
    if (error.damaged()) {
      database_failed_locked(error);
    } else if (error.full() && !told_full_) {
      told_full_ = true;
      notice_locked("quillon: the disk of the cache in '" + path_ + "' is full; results are not being stored");
    }
    return {false, error.what()};
  }
  try {
    delete_unreferenced_files_locked(dropped_files);
  } catch (const SqliteError&) {
    // Files left behind only take room.
  }
  settle_locked(false);
  return {};
}

CacheStats DiskCacheBackend::stats() { return disk_stats().cache; }

DiskCacheStats DiskCacheBackend::disk_stats() {
  MutexLock lock(mu_);
  reopen_after_fork_locked();
  DiskCacheStats stats;
  stats.cache = counters_;
  stats.max_bytes = options_.max_bytes;
  stats.store_failures = store_failures_;
  if (db_) {
    try {
      Connection::Statement& totals = db_->statement("SELECT entries, bytes FROM totals WHERE id = 0");
      if (totals.step()) {
        stats.cache.entries = static_cast<std::uint64_t>(totals.integer(0));
        stats.bytes = static_cast<std::uint64_t>(totals.integer(1));
      }
      totals.reset();
    } catch (const SqliteError& error) {
      if (error.damaged()) database_failed_locked(error);
    }
  }
  return stats;
}

template <typename Body>
void DiskCacheBackend::run_clear_locked(Body&& body) {
  mu_.assert_held();
  if (db_) {
    try {
      Connection::Write write(*db_);
      const std::vector<std::string> files = body();
      write.keep();
      delete_unreferenced_files_locked(files);
      settle_locked(true);
    } catch (const SqliteError& error) {
      if (error.damaged()) database_failed_locked(error);
    }
  }
  claims_changed_.notify_all();
}

void DiskCacheBackend::clear_all() {
  MutexLock lock(mu_);
  reopen_after_fork_locked();
  for (auto& [full_key, claim] : local_claims_) {
    if (claim.slot) cleared_slots_.emplace(full_key, *claim.slot);
  }
  local_claims_.clear();
  pending_accesses_.clear();
  run_clear_locked([&]() REQUIRES(mu_) {
    std::vector<std::string> files;
    Connection::Statement& all = db_->statement("SELECT file FROM entries WHERE file IS NOT NULL");
    while (all.step()) files.push_back(all.text(0));
    all.reset();
    db_->exec("DELETE FROM entries; DELETE FROM fingerprints; DELETE FROM invalidations; "
              "UPDATE totals SET entries = 0, bytes = 0; "
              "UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE name = 'clears';");
    clears_seen_.clear();
    return files;
  });
}

void DiskCacheBackend::clear_namespace(const std::string& ns) {
  const std::pair<std::string, std::string> range = namespace_range(ns);
  const std::string& low = range.first;
  const std::string& high = range.second;
  MutexLock lock(mu_);
  reopen_after_fork_locked();
  for (auto it = local_claims_.begin(); it != local_claims_.end();) {
    if (!it->first.starts_with(low)) {
      ++it;
      continue;
    }
    if (it->second.slot) cleared_slots_.emplace(it->first, *it->second.slot);
    it = local_claims_.erase(it);
  }
  run_clear_locked([&]() REQUIRES(mu_) {
    flush_accesses_locked();
    // Identities with a fingerprint in exactly this namespace, before the
    // removals take theirs away.
    db_->statement("INSERT OR IGNORE INTO invalidations SELECT ns, identity FROM fingerprints WHERE ns = ?")
        .bind(ns)
        .run();
    std::vector<std::string> keys;
    Connection::Statement& under = db_->statement("SELECT full_key FROM entries WHERE full_key >= ? AND full_key < ?");
    under.bind(low).bind(high);
    while (under.step()) keys.push_back(under.text(0));
    under.reset();
    std::vector<std::string> files;
    for (const std::string& full_key : keys) {
      if (auto file = remove_entry_locked(full_key)) files.push_back(*file);
    }
    // Claims under the namespace move to other bytes from now on.
    db_->exec("UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE name = 'clears'");
    clears_seen_.clear();
    return files;
  });
}

void DiskCacheBackend::clear_node(const std::string& ns, std::uint64_t node_id,
                                  const std::optional<std::string>& version) {
  const std::string prefix = "id=" + std::to_string(node_id) + ";";
  const std::optional<std::string> code_hash =
      version ? std::optional<std::string>(hash_canonical(*version)) : std::nullopt;
  MutexLock lock(mu_);
  reopen_after_fork_locked();
  run_clear_locked([&]() REQUIRES(mu_) {
    std::vector<std::pair<std::string, std::string>> matched;  // (identity, key)
    Connection::Statement& fingerprints =
        db_->statement("SELECT identity, key, code_hash FROM fingerprints WHERE ns = ?");
    fingerprints.bind(ns);
    while (fingerprints.step()) {
      std::string identity = fingerprints.text(0);
      if (!identity.starts_with(prefix)) continue;
      if (code_hash && fingerprints.text(2) != *code_hash) continue;
      matched.emplace_back(std::move(identity), fingerprints.text(1));
    }
    fingerprints.reset();
    std::vector<std::string> files;
    for (const auto& [identity, key] : matched) {
      if (auto file = remove_entry_locked(make_full_key(ns, key))) files.push_back(*file);
      db_->statement("INSERT OR IGNORE INTO invalidations VALUES (?, ?)").bind(ns).bind(identity).run();
    }
    return files;
  });
}

std::uint64_t DiskCacheBackend::claim_slot_locked(const std::string& full_key, bool fresh) {
  mu_.assert_held();
  std::string& clears = clears_seen_;
  if (db_ && (fresh || clears.empty())) {
    try {
      Connection::Statement& count = db_->statement("SELECT value FROM meta WHERE name = 'clears'");
      if (count.step()) clears = count.text(0);
      count.reset();
    } catch (const SqliteError& error) {
      if (error.damaged()) database_failed_locked(error);
    }
  }
  return 1 + (std::hash<std::string>{}(full_key + '#' + clears) & kSlotMask);
}

bool DiskCacheBackend::slot_held_elsewhere_locked(std::uint64_t slot) {
  mu_.assert_held();
  if (claims_fd_ < 0) return false;
  struct flock probe = byte_lock(F_WRLCK, slot);
  if (::fcntl(claims_fd_, F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type != F_UNLCK && !lease_ran_out_locked(slot);
}

bool DiskCacheBackend::lease_ran_out_locked(std::uint64_t slot) {
  mu_.assert_held();
  ClaimRecord record{};
  const ssize_t got = ::pread(claims_fd_, &record, sizeof record, record_offset(slot));
  // A record not yet written belongs to a claim just taken.
  if (got != static_cast<ssize_t>(sizeof record) || record.pid == 0) return false;
  return record.lease_until_ns < wall_nanos();
}

ComputeClaim DiskCacheBackend::begin_compute(const std::string& ns, const std::string& key) {
  std::string full_key = make_full_key(ns, key);
  const std::thread::id self = std::this_thread::get_id();
  MutexLock lock(mu_);
  reopen_after_fork_locked();
  if (auto it = local_claims_.find(full_key); it != local_claims_.end()) {
    return it->second.owner == self ? ComputeClaim::kHeldByCaller : ComputeClaim::kBusy;
  }
  std::optional<std::uint64_t> slot;
  if (db_ && claims_fd_ >= 0) {
    const std::uint64_t byte = claim_slot_locked(full_key, false);
    struct flock claim = byte_lock(F_WRLCK, byte);
    if (::fcntl(claims_fd_, F_OFD_SETLK, &claim) == 0) {
      slot = byte;
      const ClaimRecord record{static_cast<std::int64_t>(::getpid()),
                               wall_nanos() + std::chrono::nanoseconds(options_.lease).count()};
      static_cast<void>(::pwrite(claims_fd_, &record, sizeof record, record_offset(byte)));
    } else if (errno == EAGAIN || errno == EACCES) {
      // Another process computes it; once its lease has run out this
      // process computes the key too, without the lock.
      if (!lease_ran_out_locked(byte)) return ComputeClaim::kBusy;
    }
    // Any other failure: this process still computes each key once.
  }
  local_claims_.emplace(std::move(full_key), LocalClaim{self, slot});
  return ComputeClaim::kAcquired;
}

bool DiskCacheBackend::wait_for_compute(const std::string& ns, const std::string& key,
                                        std::chrono::milliseconds timeout) {
  const std::string full_key = make_full_key(ns, key);
  const std::thread::id self = std::this_thread::get_id();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  MutexLock lock(mu_);
  reopen_after_fork_locked();
  for (;;) {
    const auto local = local_claims_.find(full_key);
    if (local != local_claims_.end() && local->second.owner == self) return true;
    if (local == local_claims_.end() && (!db_ || !slot_held_elsewhere_locked(claim_slot_locked(full_key, true)))) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    // A claim of this process ends with a notification; one of another
    // process is looked at again shortly.
    auto slice = deadline - now;
    if (local == local_claims_.end()) slice = std::min<std::chrono::steady_clock::duration>(kClaimPoll, slice);
    claims_changed_.wait_for(mu_, std::chrono::duration_cast<std::chrono::milliseconds>(slice) +
                                      std::chrono::milliseconds(1));
  }
}

void DiskCacheBackend::finish_compute(const std::string& ns, const std::string& key) {
  const std::string full_key = make_full_key(ns, key);
  MutexLock lock(mu_);
  reopen_after_fork_locked();
  std::vector<std::uint64_t> slots;
  if (const auto local = local_claims_.find(full_key); local != local_claims_.end()) {
    if (local->second.slot) slots.push_back(*local->second.slot);
    local_claims_.erase(local);
  }
  const auto [first, last] = cleared_slots_.equal_range(full_key);
  for (auto it = first; it != last; ++it) slots.push_back(it->second);
  cleared_slots_.erase(first, last);
  // Other processes may take the key once its value is committed.
  deferred_unlocks_.insert(deferred_unlocks_.end(), slots.begin(), slots.end());
  if (!db_ || !db_->batch_open()) release_deferred_claims_locked();
  claims_changed_.notify_all();
}

std::vector<std::string> DiskCacheBackend::take_notices() {
  MutexLock lock(mu_);
  reopen_after_fork_locked();
  return std::exchange(notices_, {});
}

void DiskCacheBackend::close() {
  std::unique_ptr<std::thread> flusher;
  {
    MutexLock lock(mu_);
    reopen_after_fork_locked();
    stopping_ = true;
    flusher_wake_.notify_all();
    flusher = std::move(flusher_);
  }
  if (flusher && flusher->joinable()) flusher->join();
  MutexLock lock(mu_);
  if (!db_) return;
  try {
    Connection::Write write(*db_);
    flush_accesses_locked();
    write.keep();
  } catch (const SqliteError&) {
    // Closing goes on: what was not written is access order.
  }
  settle_locked(true);
  db_.reset();
  // Every claim lock of this object ends with its file; other processes
  // take over.
  if (claims_fd_ >= 0) ::close(claims_fd_);
  claims_fd_ = -1;
  deferred_unlocks_.clear();
  for (auto& [full_key, claim] : local_claims_) claim.slot.reset();
  cleared_slots_.clear();
  claims_changed_.notify_all();
}

bool DiskCacheBackend::closed() {
  MutexLock lock(mu_);
  reopen_after_fork_locked();
  return !db_;
}

}  // namespace quillon
