// How the component reaches the platform calls that can fail: named events
// and mutexes and the waits on them, shared memory, global memory, pipes,
// processes, threads, modules and windows. Every such call goes through one
// table of function pointers, so that a unit test can make any single call
// fail and reach the branch that handles it; armed faults
// (services/call_faults.h) fail calls of this table, in the CPMgr too.
//
// The table holds the real functions unless a test replaced it. Members
// carry the names and types of the platform functions, so a call site reads
// Plat().CreateEvent(...). Calls that cannot fail (GetLastError,
// GetCurrentProcessId) and the closing of handles are called directly.
#ifndef ZEL_SERVICES_PLATFORM_CALLS_H
#define ZEL_SERVICES_PLATFORM_CALLS_H

#include <span>

#include "base/trace.h"
#include "platform/event.h"
#include "platform/filemap.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/module.h"
#include "platform/mutex.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "services/call_faults.h"

namespace zel::services {

// A platform call's failure: it returns `Value` with ERROR_GEN_FAILURE as
// the thread's last error.
template <auto Value>
struct PlatformFailure {
  template <typename R, typename... A>
  static R Fail(A...) {
    platform::SetLastError(platform::ERROR_GEN_FAILURE);
    return static_cast<R>(Value);
  }
};

// GlobalFree's failure: the block comes back.
struct BlockNotFreed {
  template <typename R>
  static R Fail(R block) {
    platform::SetLastError(platform::ERROR_GEN_FAILURE);
    return block;
  }
};

// ReleaseMutex's failure. The real call fails only for a thread that does
// not own the mutex; so that a failed release leaves what the platform can
// leave, the mutex is released (unowned) and the failure reported.
struct MutexNotOwned {
  template <typename R>
  static R Fail(platform::HANDLE mutex) {
    platform::ReleaseMutex(mutex);
    platform::SetLastError(platform::ERROR_GEN_FAILURE);
    return false;
  }
};

// Where the table's members are found: the platform layer and the thread
// launch of the trace service.
namespace platform_functions {
using namespace ::zel::platform;
using ::btLaunchThread;
}  // namespace platform_functions

}  // namespace zel::services

// Every member: its name and how an injected fault fails it (as the real
// call fails).
#define ZEL_PLATFORM_CALLS(X)                                    \
  X(CreateEvent, PlatformFailure<0>)                             \
  X(OpenEvent, PlatformFailure<0>)                               \
  X(SetEvent, PlatformFailure<false>)                            \
  X(ResetEvent, PlatformFailure<false>)                          \
  X(PulseEvent, PlatformFailure<false>)                          \
  X(CreateMutex, PlatformFailure<0>)                             \
  X(OpenMutex, PlatformFailure<0>)                               \
  X(ReleaseMutex, MutexNotOwned)                                 \
  X(WaitForSingleObject, PlatformFailure<platform::WAIT_FAILED>) \
  X(CreateFileMapping, PlatformFailure<0>)                       \
  X(OpenFileMapping, PlatformFailure<0>)                         \
  X(MapViewOfFileEx, PlatformFailure<nullptr>)                   \
  X(GlobalAlloc, PlatformFailure<nullptr>)                       \
  X(GlobalFree, BlockNotFreed)                                   \
  X(CreatePipe, PlatformFailure<false>)                          \
  X(ReadFile, PlatformFailure<false>)                            \
  X(WriteFile, PlatformFailure<false>)                           \
  X(CreateProcess, PlatformFailure<false>)                       \
  X(GetInstanceProcess, PlatformFailure<false>)                  \
  X(OpenProcess, PlatformFailure<0>)                             \
  X(DuplicateHandle, PlatformFailure<false>)                     \
  X(CreateThread, PlatformFailure<0>)                            \
  X(btLaunchThread, PlatformFailure<-1>)                         \
  X(LoadLibrary, PlatformFailure<0>)                             \
  X(FreeLibrary, PlatformFailure<false>)                         \
  X(GetModuleFileName, PlatformFailure<0>)                       \
  X(PostMessage, PlatformFailure<false>)                         \
  X(SendMessage, PlatformFailure<0>)                             \
  X(IsWindow, PlatformFailure<false>)                            \
  X(GetWindowThreadProcessId, PlatformFailure<0>)

namespace zel::services {

struct PlatformCalls {
#define ZEL_PLATFORM_MEMBER(name, failure) \
  PlainCall<decltype(&platform_functions::name)>::type name;
  ZEL_PLATFORM_CALLS(ZEL_PLATFORM_MEMBER)
#undef ZEL_PLATFORM_MEMBER
};

// The calls in effect. Any thread.
const PlatformCalls& Plat();

// The real platform functions, for a fake that changes a few calls and
// forwards the rest.
const PlatformCalls& RealPlat();

// The members' names, in table order.
std::span<const char* const> PlatformCallNames();

// Test hook: makes `calls` the table in effect (null restores the real
// one). The table must outlive its use; not while other threads call.
void SetPlatForTest(const PlatformCalls* calls);

}  // namespace zel::services

#endif  // ZEL_SERVICES_PLATFORM_CALLS_H
