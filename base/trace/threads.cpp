// Thread launch for the system's worker threads.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <new>

#include "base/trace/record_writer.h"

ZEL_MODULE("vqzmbtw")

namespace {

// The system asks for 12,288-byte stacks, below the platform minimum and too
// small for our own tracing and conversions; every launch gets at least this.
#ifdef ZEL_SANITIZED
constexpr size_t kStackFloor = 1024 * 1024;  // sanitizers keep TLS and redzones on the stack
#else
constexpr size_t kStackFloor = 256 * 1024;
#endif

struct Launch {
  void (*function)(void*);
  void* argument;
};

void* Run(void* raw) {
  Launch launch = *static_cast<Launch*>(raw);
  delete static_cast<Launch*>(raw);
  launch.function(launch.argument);
  return nullptr;
}

}  // namespace

extern "C" size_t btThreadStackSize(size_t requested) noexcept {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t minimum = static_cast<size_t>(sysconf(_SC_THREAD_STACK_MIN));
  size_t size = std::max({requested, minimum, kStackFloor});
  return (size + page - 1) / page * page;
}

extern "C" int btLaunchThread(void (*function)(void*), uint32_t stack_size,
                              void* argument) noexcept {
  if (function == nullptr) return -1;
  auto* launch = new (std::nothrow) Launch{function, argument};
  if (launch == nullptr) return -1;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, btThreadStackSize(stack_size));
  pthread_t thread;
  int error = pthread_create(&thread, &attr, Run, launch);
  pthread_attr_destroy(&attr);
  if (error != 0) {
    delete launch;
    return -1;
  }
  return 0;
}
