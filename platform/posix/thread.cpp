// Threads with a requested stack size, and thread handles.
#include "platform/thread.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/handles.h"
#include "platform/posix/barrier.h"
#include "platform/posix/last_error.h"
#include "base/trace.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

// A thread's handle: signalled when the thread has ended.
class ThreadObject : public HandleObject {
 public:
  ThreadObject() : HandleObject(HandleKind::kThread) {}

  DWORD Wait(DWORD timeout_ms) override {
    std::unique_lock lock(mutex_);
    auto ended = [this] { return ended_; };
    if (timeout_ms == INFINITE) {
      changed_.wait(lock, ended);
      return WAIT_OBJECT_0;
    }
    bool done = changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ended);
    return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }

  void Started(DWORD tid) {
    std::lock_guard lock(mutex_);
    tid_ = tid;
    changed_.notify_all();
  }

  DWORD WaitForTid() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return tid_ != 0; });
    return tid_;
  }

  void Ended(DWORD exit_code) {
    std::lock_guard lock(mutex_);
    exit_code_ = exit_code;
    ended_ = true;
    changed_.notify_all();
  }

  DWORD ExitCode() {
    std::lock_guard lock(mutex_);
    return ended_ ? exit_code_ : STILL_ACTIVE;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  DWORD tid_ = 0;                   // guarded by mutex_
  bool ended_ = false;              // guarded by mutex_
  DWORD exit_code_ = STILL_ACTIVE;  // guarded by mutex_
};

struct Launch {
  ThreadStartRoutine start;
  void* parameter;
  std::shared_ptr<ThreadObject> thread;
};

void* Run(void* raw) {
  std::unique_ptr<Launch> launch(static_cast<Launch*>(raw));
  launch->thread->Started(GetCurrentThreadId());
  DWORD exit_code = launch->start(launch->parameter);
  launch->thread->Ended(exit_code);
  return nullptr;
}

}  // namespace

// One floor for every thread of the system: the trace service's.
size_t ThreadStackSize(size_t requested) noexcept { return btThreadStackSize(requested); }

HANDLE CreateThread(size_t stack_size, ThreadStartRoutine start, void* parameter,
                    DWORD* thread_id) noexcept try {
  if (start == nullptr) {
    internal::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto thread = std::make_shared<ThreadObject>();
  // Allocated before the handle exists, so that no failure leaves a handle
  // of a thread that never runs.
  auto launch = std::make_unique<Launch>(Launch{start, parameter, thread});
  HANDLE handle = InsertHandle(thread);
  if (handle == 0) return 0;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  int error = pthread_attr_setstacksize(&attributes, ThreadStackSize(stack_size));
  pthread_t id;
  if (error == 0) error = pthread_create(&id, &attributes, Run, launch.get());
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    CloseHandle(handle);
    internal::SetError(ERROR_NOT_ENOUGH_MEMORY, error);
    return 0;
  }
  launch.release();  // the new thread's now
  if (thread_id != nullptr) *thread_id = thread->WaitForTid();
  return handle;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

bool GetExitCodeThread(HANDLE thread, DWORD* exit_code) noexcept try {
  auto object = ReferenceHandleAs<ThreadObject>(thread, HandleKind::kThread);
  if (object == nullptr) return false;
  if (exit_code == nullptr) return internal::Fail(ERROR_INVALID_PARAMETER);
  *exit_code = object->ExitCode();
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

}  // namespace zel::platform
