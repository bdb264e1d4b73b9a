// A joinable worker thread with an explicit stack size.
//
// std::thread cannot size its stack, and with thousands of targets at once the
// default 8 MiB reservation per thread is what runs a process out of address
// space and memory limits first.
#pragma once

#include <cstddef>

namespace platform {

// Thread procedures take one untyped argument and return an unsigned code.
using ThreadProc = unsigned (*)(void*);

class Thread {
 public:
  Thread() = default;
  ~Thread();  // joins a thread that was started and not yet joined
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts proc(arg) on a new thread. stack_size 0 keeps the system default.
  // Returns false, with the system's error number in *error (if given), when
  // the system refuses the thread; the object is then unchanged and may be
  // started again.
  bool Start(ThreadProc proc, void* arg, std::size_t stack_size = 0, int* error = nullptr);

  // Waits without a time limit for a started thread to end. No effect on a
  // thread that was never started or was joined already. Not thread-safe:
  // one thread joins.
  void Join();

  bool started() const { return started_; }
  unsigned exit_code() const { return exit_code_; }

 private:
  static void* Trampoline(void* self);

  unsigned long handle_ = 0;  // pthread_t
  bool started_ = false;
  ThreadProc proc_ = nullptr;
  void* arg_ = nullptr;
  unsigned exit_code_ = 0;
};

}  // namespace platform
