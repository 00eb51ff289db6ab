// Per-thread last error and error texts.
#include "platform/posix/last_error.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/handles.h"
#include "platform/posix/barrier.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

struct LastError {
  DWORD error = 0;
  int system_errno = 0;  // errno of the failing system call, 0 when none
};

thread_local LastError t_last_error;

struct ErrorText {
  DWORD error;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_BAD_NET_NAME, "The network name cannot be found."},
    {ERROR_ALREADY_ASSIGNED, "The local device name is already in use."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found."},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found."},
    {ERROR_NOT_LOCKED, "The segment is already unlocked."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller."},
    {ERROR_INVALID_ADDRESS, "Attempt to access invalid address."},
    {ERROR_BAD_DEVICE, "The specified device name is invalid."},
    {ERROR_NO_NETWORK, "The network is not present or not started."},
    {ERROR_INTERNAL_ERROR, "An internal error occurred."},
    {ERROR_INVALID_WINDOW_HANDLE, "Invalid window handle."},
    {ERROR_INVALID_THREAD_ID, "The thread identifier is invalid."},
    {ERROR_NO_SYSTEM_RESOURCES,
     "Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_RESOURCE_NAME_NOT_FOUND,
     "The specified resource name cannot be found in the image file."},
    {ERROR_NOT_ENOUGH_QUOTA, "Not enough quota is available to process this command."},
    {ERROR_NOT_CONNECTED, "This network connection does not exist."},
};

// Room for FormatErrorMessage's longest text, and for GetLastErrorText's
// with the number and the system's text added.
constexpr size_t kMessageCapacity = 128;
constexpr size_t kLastErrorCapacity = 320;

// The text of a known error number; null for others.
const char* KnownText(DWORD error) {
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.error == error) return entry.text;
  }
  return nullptr;
}

// The length of what snprintf, meaning to write `written` characters into
// `size` bytes (at least 1), left there.
size_t Fitted(int written, size_t size) {
  return written < 0 ? 0 : std::min(static_cast<size_t>(written), size - 1);
}

// Writes FormatErrorMessage's text of `error` into `size` bytes (at least
// 1) of `buffer`, cut to fit; returns its length.
size_t WriteMessage(DWORD error, char* buffer, size_t size) {
  const char* known = KnownText(error);
  int written = known != nullptr ? snprintf(buffer, size, "%s", known)
                                 : snprintf(buffer, size, "Error %u.", error);
  return Fitted(written, size);
}

}  // namespace

namespace internal {

void SetError(DWORD error, int system_errno) noexcept { t_last_error = {error, system_errno}; }

DWORD ErrorFromErrno(int system_errno) {
  switch (system_errno) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    case EAGAIN:
    case ENOSPC:
      return ERROR_NO_SYSTEM_RESOURCES;
    case ENOEXEC:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD SetErrorFromErrno(int system_errno) {
  DWORD error = ErrorFromErrno(system_errno);
  SetError(error, system_errno);
  return error;
}

void WriteLastErrorText(char* buffer, size_t size) noexcept {
  if (buffer == nullptr || size == 0) return;
  LastError last = t_last_error;
  size_t length = WriteMessage(last.error, buffer, size);
  length += Fitted(snprintf(buffer + length, size - length, " (%u)", last.error), size - length);
  if (last.system_errno == 0) return;
  char system[128];
  snprintf(buffer + length, size - length, ": %s (errno %d)",
           strerror_r(last.system_errno, system, sizeof system), last.system_errno);
}

}  // namespace internal

DWORD GetLastError() noexcept { return t_last_error.error; }

void SetLastError(DWORD error) noexcept { t_last_error = {error, 0}; }

std::string FormatErrorMessage(DWORD error) noexcept try {
  char text[kMessageCapacity];
  WriteMessage(error, text, sizeof text);
  return text;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(std::string());
}

std::string GetLastErrorText() noexcept try {
  char text[kLastErrorCapacity];
  internal::WriteLastErrorText(text, sizeof text);
  return text;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(std::string());
}

}  // namespace zel::platform
