// Threads with a requested stack size.
//
// The system asks for 12,288-byte stacks; every thread gets at least the
// floor that our own tracing and conversions need (256 KiB, 1 MiB under the
// sanitizers), and more when it asks for more. A thread handle can be waited
// on (signalled when the thread has ended) and gives the exit code.
#ifndef ZEL_PLATFORM_THREAD_H
#define ZEL_PLATFORM_THREAD_H

#include "platform/types.h"

namespace zel::platform {

using ThreadStartRoutine = DWORD (*)(void* parameter);

// The stack size a thread that asks for `requested` bytes gets.
ZEL_PLATFORM_EXPORT size_t ThreadStackSize(size_t requested) noexcept;

// Starts `start(parameter)` on a new thread whose stack is
// ThreadStackSize(stack_size); its return value is the exit code. Returns
// the thread's handle and, when `thread_id` is not null, its id; 0 with
// ERROR_NOT_ENOUGH_MEMORY when the thread cannot be started,
// ERROR_INVALID_PARAMETER for a null routine. Any thread.
ZEL_PLATFORM_EXPORT HANDLE CreateThread(size_t stack_size, ThreadStartRoutine start,
                                        void* parameter, DWORD* thread_id) noexcept;

// The thread's exit code, STILL_ACTIVE while it runs. False with
// ERROR_INVALID_HANDLE for a handle that is not a thread.
ZEL_PLATFORM_EXPORT bool GetExitCodeThread(HANDLE thread, DWORD* exit_code) noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_THREAD_H
