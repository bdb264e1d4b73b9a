// Clang's thread-safety annotations, and the mutex and scoped lock that carry
// them (the standard library's do not here). Other compilers see plain code.
//
// Lock order. A lock is taken while another is held only where this list
// says so; a new nesting must be added here first. Every other lock is held
// only around its own data, with no other lock taken under it.
//   - the console lock (output/console.cpp), held while one line is written.
//     The library lock may be taken under it (the library formats a failed
//     object's name in the middle of an error line); never the other way
//     round: library texts are captured under the library lock and printed
//     after it is released;
//   - the Net-SNMP library lock (scan/snmp_setup.cpp): only library calls
//     run under it, and NoteEngineId, which takes the engine-ID lock;
//   - the engine-ID lock (scan/engine_ids.cpp), innermost;
//   - the pass-phrase key cache's map lock, then (after it is released) the
//     lock of one cache entry, held while that key is computed
//     (scan/usm_keys.cpp);
//   - UsmKeyTurns' lock (scan/usm_keys.h), never held across a library call;
//   - LogQueue's lock (log/log.h), held only to move records;
//   - the log writer's wake-up lock (log/log_writer.cpp);
//   - the status line's wake-up lock (app/progress_line.h), released while
//     the line is drawn;
//   - the scan slots' lock (app/run_driver.cpp), held only to count;
//   - the atomic saves' path lock (output/atomic_file.cpp), held only to mark
//     a path taken or free.
#pragma once

#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

namespace platform {

// std::mutex with the annotations.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope. lock() and unlock() let a
// std::condition_variable_any wait with it.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  Mutex& mutex_;
};

}  // namespace platform
