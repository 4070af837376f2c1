// What each mutex guards, written where the compiler can check it: clang's thread-safety
// analysis (-Wthread-safety, on in every clang build, such as the fuzzers') reports a guarded
// item used without its mutex held. Other compilers ignore the attributes.
//
// The analysis knows only mutexes and locks that say what they do: a Mutex, held by a
// MutexLock. A condition variable waits on the lock's std::unique_lock (MutexLock::native).
#ifndef TAVRO_PLATFORM_THREAD_SAFETY_H
#define TAVRO_PLATFORM_THREAD_SAFETY_H

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define TAVRO_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define TAVRO_THREAD_ATTRIBUTE(x)
#endif

#define TAVRO_CAPABILITY(x) TAVRO_THREAD_ATTRIBUTE(capability(x))
#define TAVRO_SCOPED_CAPABILITY TAVRO_THREAD_ATTRIBUTE(scoped_lockable)
#define TAVRO_GUARDED_BY(x) TAVRO_THREAD_ATTRIBUTE(guarded_by(x))
#define TAVRO_PT_GUARDED_BY(x) TAVRO_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define TAVRO_REQUIRES(...) TAVRO_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define TAVRO_ACQUIRE(...) TAVRO_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define TAVRO_RELEASE(...) TAVRO_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TAVRO_TRY_ACQUIRE(...) TAVRO_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define TAVRO_ACQUIRE_SHARED(...) TAVRO_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define TAVRO_RELEASE_SHARED(...) TAVRO_THREAD_ATTRIBUTE(release_shared_capability(__VA_ARGS__))
#define TAVRO_TRY_ACQUIRE_SHARED(...) \
  TAVRO_THREAD_ATTRIBUTE(try_acquire_shared_capability(__VA_ARGS__))
#define TAVRO_EXCLUDES(...) TAVRO_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define TAVRO_RETURN_CAPABILITY(x) TAVRO_THREAD_ATTRIBUTE(lock_returned(x))
// For a lock held across scopes in a way the analysis cannot follow; say why where it is used.
#define TAVRO_NO_THREAD_SAFETY_ANALYSIS TAVRO_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace tavro {

class TAVRO_CAPABILITY("mutex") Mutex {
 public:
  void lock() TAVRO_ACQUIRE() { m_.lock(); }
  void unlock() TAVRO_RELEASE() { m_.unlock(); }
  bool try_lock() TAVRO_TRY_ACQUIRE(true) { return m_.try_lock(); }
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

// Holds a Mutex for its scope.
class TAVRO_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) TAVRO_ACQUIRE(m) : lock_(m.native()) {}
  ~MutexLock() TAVRO_RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // For a while without the mutex, such as a call out, and to take it again.
  void unlock() TAVRO_RELEASE() { lock_.unlock(); }
  void lock() TAVRO_ACQUIRE() { lock_.lock(); }

  // For a condition variable's wait, which lets the mutex go and takes it again.
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

// A mutex that readers share: a ReaderLock holds it for reading, a WriterLock alone.
class TAVRO_CAPABILITY("mutex") SharedMutex {
 public:
  void lock() TAVRO_ACQUIRE() { m_.lock(); }
  void unlock() TAVRO_RELEASE() { m_.unlock(); }
  void lock_shared() TAVRO_ACQUIRE_SHARED() { m_.lock_shared(); }
  void unlock_shared() TAVRO_RELEASE_SHARED() { m_.unlock_shared(); }
  bool try_lock_shared() TAVRO_TRY_ACQUIRE_SHARED(true) { return m_.try_lock_shared(); }

 private:
  std::shared_mutex m_;
};

class TAVRO_SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& m) TAVRO_ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
  ~ReaderLock() TAVRO_RELEASE() { m_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& m_;
};

class TAVRO_SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& m) TAVRO_ACQUIRE(m) : m_(m) { m_.lock(); }
  ~WriterLock() TAVRO_RELEASE() { m_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& m_;
};

}  // namespace tavro

#endif  // TAVRO_PLATFORM_THREAD_SAFETY_H
