// Lock annotations and the annotated mutex they are checked against.
//
// The macros name what a field or function needs from a lock: GUARDED_BY(mu)
// on a field read and written only with mu held, REQUIRES(mu) on a function
// whose caller holds mu (the `_locked` functions), EXCLUDES(mu) on one that
// takes mu itself, and so on. Under clang they become its capability
// attributes and the build with -Wthread-safety (make cpp-thread-safety)
// rejects code that breaks them; under other compilers they expand to
// nothing and read as documentation.
//
// std::mutex carries no annotations, so guarded state is locked through
// Mutex and MutexLock below. Mutex waits with CondVar (a std::
// condition_variable) or, since MutexLock has lock()/unlock(), with a std::
// condition_variable_any. In builds with assertions a Mutex also remembers
// its owning thread: assert_held() checks it, and locking a Mutex the calling
// thread already holds fails at once instead of deadlocking.
//
// Thread-safe: a Mutex is used from any number of threads; a MutexLock
// belongs to the thread that made it.
#pragma once

#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#if defined(__clang__)
#define QUILLON_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUILLON_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks ("mutex") the analysis tracks.
#define CAPABILITY(x) QUILLON_THREAD_ANNOTATION(capability(x))
// An RAII type that holds a capability from construction to destruction.
#define SCOPED_CAPABILITY QUILLON_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only while the lock is held.
#define GUARDED_BY(x) QUILLON_THREAD_ANNOTATION(guarded_by(x))
// A pointer field whose pointee is read or written only while the lock is held.
#define PT_GUARDED_BY(x) QUILLON_THREAD_ANNOTATION(pt_guarded_by(x))
// The caller must hold the lock(s).
#define REQUIRES(...) QUILLON_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the lock(s): the function takes them itself.
#define EXCLUDES(...) QUILLON_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function takes the lock(s) and returns holding them.
#define ACQUIRE(...) QUILLON_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases lock(s) the caller held.
#define RELEASE(...) QUILLON_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The function takes the lock when it returns the given value.
#define TRY_ACQUIRE(...) QUILLON_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The function checks at run time that the lock is held.
#define ASSERT_CAPABILITY(x) QUILLON_THREAD_ANNOTATION(assert_capability(x))
// The function returns a reference to the given lock.
#define RETURN_CAPABILITY(x) QUILLON_THREAD_ANNOTATION(lock_returned(x))
// Opts one function out of the analysis; say why wherever it is used.
#define NO_THREAD_SAFETY_ANALYSIS QUILLON_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace quillon {

class CondVar;

// A std::mutex the analysis knows about. Not recursive.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() {
    assert(!held_by_this_thread() && "a thread locked a Mutex it already holds");
    mu_.lock();
    note_owner();
  }
  void unlock() RELEASE() {
    assert(held_by_this_thread() && "a thread unlocked a Mutex it does not hold");
    forget_owner();
    mu_.unlock();
  }
  bool try_lock() TRY_ACQUIRE(true) {
    if (!mu_.try_lock()) return false;
    note_owner();
    return true;
  }

  // Checks, in builds with assertions, that the calling thread holds the
  // lock; tells the analysis that it does.
  void assert_held() const ASSERT_CAPABILITY(this) {
    assert(held_by_this_thread() && "a _locked function was called without its Mutex");
  }

 private:
  friend class CondVar;

#ifdef NDEBUG
  void note_owner() noexcept {}
  void forget_owner() noexcept {}
  bool held_by_this_thread() const noexcept { return true; }
#else
  void note_owner() noexcept { owner_.store(std::this_thread::get_id(), std::memory_order_relaxed); }
  void forget_owner() noexcept { owner_.store(std::thread::id(), std::memory_order_relaxed); }
  // Only the owner itself can see its own id here, so a relaxed load gives
  // an exact answer for the calling thread.
  bool held_by_this_thread() const noexcept {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }
  std::atomic<std::thread::id> owner_{};
#endif

  std::mutex mu_;
};

// Holds a Mutex for its lifetime. lock() and unlock() let a std::
// condition_variable_any wait on it, or let the holder step out for a while.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() {
    if (locked_) mu_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() ACQUIRE() {
    mu_.lock();
    locked_ = true;
  }
  void unlock() RELEASE() {
    locked_ = false;
    mu_.unlock();
  }

 private:
  Mutex& mu_;
  bool locked_ = true;
};

// A std::condition_variable for a Mutex. Callers re-test their predicate in
// a loop around wait(): wake-ups may be spurious or stale.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Releases mu while blocked and holds it again on return.
  // Requires: mu held by the calling thread.
  void wait(Mutex& mu) REQUIRES(mu) {
    mu.assert_held();
    mu.forget_owner();
    std::unique_lock<std::mutex> native(mu.mu_, std::adopt_lock);
    cv_.wait(native);
    native.release();  // mu stays locked: the caller's scope unlocks it
    mu.note_owner();
  }

  // wait() that also returns once `timeout` has passed.
  // Requires: mu held by the calling thread.
  template <typename Rep, typename Period>
  void wait_for(Mutex& mu, std::chrono::duration<Rep, Period> timeout) REQUIRES(mu) {
    mu.assert_held();
    mu.forget_owner();
    std::unique_lock<std::mutex> native(mu.mu_, std::adopt_lock);
    cv_.wait_for(native, timeout);
    native.release();
    mu.note_owner();
  }

  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace quillon
