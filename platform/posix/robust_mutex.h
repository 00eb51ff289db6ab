// Process-shared robust mutexes in shared memory: the bodies of named
// mutexes, and the locks of the registry and the global heap. When an owner
// dies the next locker gets EOWNERDEAD and must make the mutex consistent
// before it unlocks; otherwise the mutex becomes unusable for good.
#ifndef ZEL_PLATFORM_POSIX_ROBUST_MUTEX_H
#define ZEL_PLATFORM_POSIX_ROBUST_MUTEX_H

#include <pthread.h>

#include <cstdint>

#include "platform/posix/clock.h"

namespace zel::platform::internal {

// Initialises `mutex` (in memory shared between processes) as robust,
// process-shared and priority-inheriting (the kernel hands it over to the
// next waiter), and recursive when asked. Returns 0 or an errno value.
int InitSharedMutex(pthread_mutex_t* mutex, bool recursive);

// The thread sanitizer knows a mutex by its address, and a registry
// entry's body serves one object after another: this process's first hold
// on a body, or making one, tells the sanitizer that the object it knew
// there is gone. Does nothing in other builds.
void RenewMutexIdentity(pthread_mutex_t* mutex, bool recursive);

// Locks with a time limit: 0, EOWNERDEAD (locked; the previous owner died),
// ETIMEDOUT, or another errno value for a failure. A zero wait only tries.
int LockSharedMutex(pthread_mutex_t* mutex, const Deadline& deadline, bool try_only);

// The thread id the kernel sees as the mutex's owner, 0 when it has none
// (also after the kernel marked a dead owner's mutex).
uint32_t KernelOwnerTid(const pthread_mutex_t& mutex);

}  // namespace zel::platform::internal

#endif  // ZEL_PLATFORM_POSIX_ROBUST_MUTEX_H
