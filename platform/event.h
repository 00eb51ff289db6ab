// Named events, manual-reset and auto-reset.
//
// A manual-reset event stays signalled until ResetEvent and releases every
// waiter meanwhile; an auto-reset event releases one waiter and resets
// itself. PulseEvent releases exactly the threads that are waiting at that
// moment (all of them for manual reset, one for auto reset, in any process
// of the instance) and leaves the event not signalled: a thread that starts
// waiting after the pulse stays blocked. Waits use WaitForSingleObject
// (handles.h).
//
// Names are shared with mutexes and file mappings (mutex.h). An event
// exists while some process of the instance holds a handle to it; the
// handles of processes that died do not count. Set, reset, pulse and wait
// take no instance-wide lock. All functions may be called from any thread.
#ifndef ZEL_PLATFORM_EVENT_H
#define ZEL_PLATFORM_EVENT_H

#include "platform/types.h"

namespace zel::platform {

// Creates the event `name`, or opens it when it exists (the last error is
// then ERROR_ALREADY_EXISTS, 0 after a fresh creation; an existing event
// keeps its own reset mode and state). A null or empty name makes an event
// that only this process can reach. Returns 0 with the last error set on
// failure, as CreateMutex.
ZEL_PLATFORM_EXPORT HANDLE CreateEvent(bool manual_reset, bool initial_state,
                                       const char* name) noexcept;

// Opens the existing event `name`: 0 with ERROR_FILE_NOT_FOUND when no
// process of the instance holds a handle to it, ERROR_INVALID_HANDLE when
// the name is another kind of object. Access and inheritance as OpenMutex.
ZEL_PLATFORM_EXPORT HANDLE OpenEvent(DWORD desired_access, bool inherit_handle,
                                     const char* name) noexcept;

// Signal, unsignal, or pulse the event. False with ERROR_INVALID_HANDLE for
// a handle that is not an event.
ZEL_PLATFORM_EXPORT bool SetEvent(HANDLE event) noexcept;
ZEL_PLATFORM_EXPORT bool ResetEvent(HANDLE event) noexcept;
ZEL_PLATFORM_EXPORT bool PulseEvent(HANDLE event) noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_EVENT_H
