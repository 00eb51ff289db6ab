// The calling thread's last error, as the platform's functions set it.
#ifndef ZEL_PLATFORM_POSIX_LAST_ERROR_H
#define ZEL_PLATFORM_POSIX_LAST_ERROR_H

#include <cstddef>

#include "platform/types.h"

namespace zel::platform::internal {

// Sets the last error; `system_errno` (0: none) is the errno of the system
// call that caused it, kept for the error's text.
void SetError(DWORD error, int system_errno = 0) noexcept;

// The error number that stands for `system_errno`.
DWORD ErrorFromErrno(int system_errno);

// Sets the last error from `system_errno` and returns the number.
DWORD SetErrorFromErrno(int system_errno);

// Writes GetLastErrorText's text into `buffer`, cut to `size` - 1
// characters and NUL-terminated, allocating nothing, so that a trace of an
// error path neither fails for want of memory nor changes the last error.
// Any thread; nothing happens for a null buffer or size 0.
void WriteLastErrorText(char* buffer, size_t size) noexcept;

// Helpers for the common failure returns.
inline bool Fail(DWORD error) {
  SetError(error);
  return false;
}
inline bool FailErrno(int system_errno) {
  SetErrorFromErrno(system_errno);
  return false;
}

}  // namespace zel::platform::internal

#endif  // ZEL_PLATFORM_POSIX_LAST_ERROR_H
