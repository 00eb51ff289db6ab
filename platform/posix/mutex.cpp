// Named mutexes: robust, recursive, process-shared pthread mutexes. The
// kernel hands a mutex whose owner died to the next locker (EOWNERDEAD),
// which is what makes it abandoned.
#include "platform/mutex.h"

#include <cerrno>
#include <memory>

#include "platform/handles.h"
#include "platform/posix/barrier.h"
#include "platform/posix/last_error.h"
#include "platform/posix/named_object.h"
#include "platform/posix/robust_mutex.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

using internal::EntryHold;

class MutexObject : public HandleObject {
 public:
  // A named mutex, its body in the registry entry held by `hold`.
  explicit MutexObject(std::shared_ptr<EntryHold> hold)
      : HandleObject(HandleKind::kMutex), hold_(std::move(hold)), mutex_(&hold_->entry().mutex) {}

  // A mutex of this process only, its body on the heap.
  explicit MutexObject(pthread_mutex_t* local) : HandleObject(HandleKind::kMutex), mutex_(local) {}

  ~MutexObject() override {
    // A robust mutex is on its owner's robust list; freeing it while a
    // thread still owns it would let the kernel write into freed memory
    // when that thread ends. Such a body is left allocated.
    if (hold_ == nullptr && internal::KernelOwnerTid(*mutex_) == 0) delete mutex_;
  }

  DWORD Wait(DWORD timeout_ms) override {
    int error =
        internal::LockSharedMutex(mutex_, internal::Deadline::After(timeout_ms), timeout_ms == 0);
    switch (error) {
      case 0:
        return WAIT_OBJECT_0;
      case EOWNERDEAD:
        pthread_mutex_consistent(mutex_);
        return WAIT_ABANDONED;
      case ETIMEDOUT:
        return WAIT_TIMEOUT;
      default:
        internal::SetErrorFromErrno(error);
        return WAIT_FAILED;
    }
  }

  bool Release() {
    // The owner's thread id is in the futex word; only the owner could
    // change it to or from our own id, so the check cannot race. Checking
    // first keeps a stranger from unlocking at all.
    if (internal::KernelOwnerTid(*mutex_) != GetCurrentThreadId()) {
      return internal::Fail(ERROR_NOT_OWNER);
    }
    int error = pthread_mutex_unlock(mutex_);
    if (error == 0) return true;
    return internal::Fail(error == EPERM ? ERROR_NOT_OWNER : internal::ErrorFromErrno(error));
  }

 private:
  std::shared_ptr<EntryHold> hold_;  // null for a mutex of this process only
  pthread_mutex_t* const mutex_;
};

HANDLE CreateLocal(bool initial_owner) {
  auto mutex = std::make_unique<pthread_mutex_t>();
  int error = internal::InitSharedMutex(mutex.get(), /*recursive=*/true);
  if (error != 0) {
    internal::SetErrorFromErrno(error);
    return 0;
  }
  auto object = std::make_shared<MutexObject>(mutex.get());
  pthread_mutex_t* body = mutex.release();  // the object's now
  if (initial_owner) pthread_mutex_lock(body);
  HANDLE handle = InsertHandle(std::move(object));
  if (handle != 0) internal::SetError(NO_ERROR);
  return handle;
}

}  // namespace

HANDLE CreateMutex(bool initial_owner, const char* name) noexcept try {
  if (internal::Unnamed(name)) return CreateLocal(initial_owner);
  // The creator takes ownership before the name can be found. Nobody else
  // can reach the new mutex yet, so trying always succeeds and never
  // waits under the registry lock.
  auto initialise = [initial_owner](internal::Instance&, internal::ObjectEntry& entry) {
    int error = internal::InitSharedMutex(&entry.mutex, /*recursive=*/true);
    if (error == 0 && initial_owner) error = pthread_mutex_trylock(&entry.mutex);
    return error == 0 || internal::FailErrno(error);
  };
  bool existed = false;
  auto hold = internal::CreateNamed(name, internal::ObjectType::kMutex, initialise, &existed);
  if (hold == nullptr) return 0;
  HANDLE handle = InsertHandle(std::make_shared<MutexObject>(std::move(hold)));
  if (handle != 0) internal::SetError(existed ? ERROR_ALREADY_EXISTS : NO_ERROR);
  return handle;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

HANDLE OpenMutex(DWORD, bool, const char* name) noexcept try {
  auto hold = internal::OpenNamed(name, internal::ObjectType::kMutex);
  if (hold == nullptr) return 0;
  return InsertHandle(std::make_shared<MutexObject>(std::move(hold)));
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

bool ReleaseMutex(HANDLE mutex) noexcept try {
  auto object = ReferenceHandleAs<MutexObject>(mutex, HandleKind::kMutex);
  if (object == nullptr) return false;
  return object->Release();
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

}  // namespace zel::platform
