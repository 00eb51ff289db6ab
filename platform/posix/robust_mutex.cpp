#include "platform/posix/robust_mutex.h"

#include <linux/futex.h>
#include <unistd.h>

#include <cerrno>

#ifdef __SANITIZE_THREAD__
#include <sanitizer/tsan_interface.h>
#endif

namespace zel::platform::internal {

void RenewMutexIdentity([[maybe_unused]] pthread_mutex_t* mutex, [[maybe_unused]] bool recursive) {
#ifdef __SANITIZE_THREAD__
  __tsan_mutex_destroy(mutex, 0);
  __tsan_mutex_create(mutex, recursive ? __tsan_mutex_write_reentrant : 0);
#endif
}

int InitSharedMutex(pthread_mutex_t* mutex, bool recursive) {
  pthread_mutexattr_t attr;
  int error = pthread_mutexattr_init(&attr);
  if (error != 0) return error;
  error = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  if (error == 0) error = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  // Priority inheritance makes the kernel hand a contended mutex to its
  // next waiter as it unlocks. Without it a wake-up can be lost for good:
  // the woken waiter is killed before it takes the mutex, another thread
  // takes it without noting that others sleep, and the kernel, finding the
  // mutex owned when the killed waiter dies, wakes nobody.
  if (error == 0) error = pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
  if (error == 0 && recursive) error = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  // Whatever this process knew at this address before is gone.
  if (error == 0) RenewMutexIdentity(mutex, recursive);
  if (error == 0) error = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return error;
}

int LockSharedMutex(pthread_mutex_t* mutex, const Deadline& deadline, bool try_only) {
  if (try_only) {
    int error = pthread_mutex_trylock(mutex);
    return error == EBUSY ? ETIMEDOUT : error;
  }
  if (deadline.infinite()) return pthread_mutex_lock(mutex);
#if defined(__SANITIZE_THREAD__)
  // The thread sanitizer models a mutex taken over from an owner that died
  // only in lock and trylock, not in the timed locks; its builds wait by
  // trying until the deadline.
  for (;;) {
    int error = pthread_mutex_trylock(mutex);
    if (error != EBUSY) return error;
    if (deadline.Passed()) return ETIMEDOUT;
    usleep(500);
  }
#else
  timespec at = deadline.monotonic();
  return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &at);
#endif
}

uint32_t KernelOwnerTid(const pthread_mutex_t& mutex) {
  // The futex word of a robust mutex holds the owner's tid; the kernel
  // clears it (setting FUTEX_OWNER_DIED) when the owner dies.
  return static_cast<uint32_t>(__atomic_load_n(&mutex.__data.__lock, __ATOMIC_ACQUIRE)) &
         FUTEX_TID_MASK;
}

}  // namespace zel::platform::internal
