// The barrier at the edge of every function libzelplat exports. As with the
// libraries' C functions (base/barrier.h), each is noexcept and its
// body is a function-try-block; the handler reports the exception and
// turns it into the function's documented failure in the platform's own
// convention: the failure value, with the last error ERROR_NOT_ENOUGH_MEMORY
// for std::bad_alloc and ERROR_INTERNAL_ERROR for any other exception.
//
//   HANDLE OpenEvent(DWORD desired_access, bool inherit_handle, const char* name) noexcept try {
//     ...
//   } catch (...) {
//     return ZEL_PLATFORM_FAILURE(0);
//   }
//
// A function that returns its error number (the WNet functions) ends its
// handler with `return ZEL_PLATFORM_ERROR();`. Both raise the error point
// EXT_EXCEPTION of the file's module and trace the function's name with the
// exception's text, and allocate nothing.
//
// A platform function that calls another exported one gets that one's
// failure value and last error, never its exception.
#ifndef ZEL_PLATFORM_POSIX_BARRIER_H
#define ZEL_PLATFORM_POSIX_BARRIER_H

#include <cstdint>

#include "platform/posix/last_error.h"
#include "platform/types.h"
#include "base/barrier.h"

namespace zel::platform::internal {

// Reports the exception that the calling handler caught in the exported
// function `function` (zel::barrier::ReportException), sets the last error
// that stands for it and returns that error. Call only inside a handler,
// on any thread.
inline DWORD ReportException(const char* function, const char* module, int32_t line) noexcept {
  DWORD error = ::zel::barrier::ReportException(function, module, line) ? ERROR_NOT_ENOUGH_MEMORY
                                                                        : ERROR_INTERNAL_ERROR;
  SetError(error);
  return error;
}

}  // namespace zel::platform::internal

// In the handler of an exported platform function: reports the exception,
// sets the last error and gives the error number.
#define ZEL_PLATFORM_ERROR() \
  ::zel::platform::internal::ReportException(__func__, kZelModule, __LINE__)

// In the handler of an exported platform function: reports the exception,
// sets the last error and gives `failure`.
#define ZEL_PLATFORM_FAILURE(failure) (static_cast<void>(ZEL_PLATFORM_ERROR()), (failure))

#endif  // ZEL_PLATFORM_POSIX_BARRIER_H
