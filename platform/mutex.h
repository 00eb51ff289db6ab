// Named mutexes.
//
// A mutex is owned by one thread at a time and is recursive for its owner:
// each wait that acquires it must be matched by a ReleaseMutex. When the
// owning thread ends, or its process dies (kill -9 included), while holding
// it, the next waiter acquires it and is told so by WAIT_ABANDONED; later
// waits succeed normally. Waits (WaitForSingleObject, handles.h) take a
// time-out in milliseconds or INFINITE.
//
// Names live in the instance's namespace (ZEL_INSTANCE), shared by mutexes,
// events and file mappings; a "Global\" or "Local\" prefix is dropped. A
// named mutex exists while some process of the instance holds a handle to
// it. All functions may be called from any thread.
#ifndef ZEL_PLATFORM_MUTEX_H
#define ZEL_PLATFORM_MUTEX_H

#include "platform/types.h"

namespace zel::platform {

// Longest object name, without the prefix, in bytes.
inline constexpr size_t kMaxObjectNameLength = 127;

// Creates the mutex `name`, or opens it when it exists: the last error is
// then ERROR_ALREADY_EXISTS, and 0 after a fresh creation. A null or empty
// name makes a mutex that only this process can reach. With
// `initial_owner` the calling thread owns a newly created mutex (not an
// existing one) before any other process can see it. Returns the handle,
// or 0 with the last error set: ERROR_INVALID_HANDLE when the name belongs
// to an event or file mapping, ERROR_FILENAME_EXCED_RANGE for a name that is
// too long, ERROR_NO_SYSTEM_RESOURCES when the instance's object table is
// full.
ZEL_PLATFORM_EXPORT HANDLE CreateMutex(bool initial_owner, const char* name) noexcept;

// Opens the existing mutex `name`. `desired_access` and `inherit_handle`
// are accepted for the callers' sake (every handle has all access and none
// is inherited). Returns 0 with ERROR_FILE_NOT_FOUND when no process of the
// instance holds it, ERROR_INVALID_HANDLE when the name is another kind of
// object.
ZEL_PLATFORM_EXPORT HANDLE OpenMutex(DWORD desired_access, bool inherit_handle,
                                     const char* name) noexcept;

// Gives up one level of the calling thread's ownership. False with
// ERROR_NOT_OWNER when the calling thread does not own the mutex,
// ERROR_INVALID_HANDLE for a handle that is not a mutex.
ZEL_PLATFORM_EXPORT bool ReleaseMutex(HANDLE mutex) noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_MUTEX_H
