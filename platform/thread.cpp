#include "platform/thread.h"

#include <pthread.h>

#include <climits>

namespace platform {

static_assert(sizeof(pthread_t) <= sizeof(unsigned long), "pthread_t must fit the handle");

Thread::~Thread() { Join(); }

void* Thread::Trampoline(void* self) {
  auto* t = static_cast<Thread*>(self);
  t->exit_code_ = t->proc_(t->arg_);
  return nullptr;
}

bool Thread::Start(ThreadProc proc, void* arg, std::size_t stack_size, int* error) {
  if (started_) {
    if (error) *error = 0;
    return false;
  }
  proc_ = proc;
  arg_ = arg;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_size != 0) {
    if (stack_size < static_cast<std::size_t>(PTHREAD_STACK_MIN)) stack_size = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, stack_size);
  }
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, &Thread::Trampoline, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    if (error) *error = rc;
    return false;
  }
  handle_ = static_cast<unsigned long>(tid);
  started_ = true;
  return true;
}

void Thread::Join() {
  if (!started_) return;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  started_ = false;
}

}  // namespace platform
