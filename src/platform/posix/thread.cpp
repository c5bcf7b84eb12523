// Linux: a POSIX thread with an explicit stack size (pthread_attr_setstacksize)
// reserves exactly that much address space, plus one guard page, instead of
// the process's default (the stack limit, usually 8 MiB). The thread is
// created detached, so nothing has to join it.
#include "platform/thread.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <new>

namespace platform {
namespace {

struct Start {
  ThreadEntry entry;
  void* argument;
};

void* threadMain(void* raw) {
  const Start start = *static_cast<Start*>(raw);
  delete static_cast<Start*>(raw);
  start.entry(start.argument);
  return nullptr;
}

}  // namespace

bool startDetachedThread(ThreadEntry entry, void* argument, size_t stackBytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t size = stackBytes < static_cast<size_t>(PTHREAD_STACK_MIN) ? static_cast<size_t>(PTHREAD_STACK_MIN)
                                                                    : stackBytes;
  size = (size + page - 1) / page * page;

  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  bool started = false;
  Start* start = new (std::nothrow) Start{entry, argument};
  if (start != nullptr && pthread_attr_setstacksize(&attributes, size) == 0 &&
      pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0) {
    pthread_t thread;
    started = pthread_create(&thread, &attributes, threadMain, start) == 0;
  }
  if (!started) delete start;
  pthread_attr_destroy(&attributes);
  return started;
}

}  // namespace platform
