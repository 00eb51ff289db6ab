// Anonymous pipes inside one process: a byte stream from a write handle to
// a read handle. Writes of up to 4,096 bytes are never interleaved with
// other writers' bytes. A reader sees the end (ERROR_BROKEN_PIPE) once every
// handle of the write end is closed; a writer whose reader is gone gets
// ERROR_BROKEN_PIPE instead of a signal. Pipe descriptors are never
// inherited by processes that CreateProcess starts.
//
// Handles may be duplicated within the process (DuplicateHandle) and used
// from any thread; concurrent reads of one pipe each get whole bytes but no
// message boundaries.
#ifndef ZEL_PLATFORM_PIPE_H
#define ZEL_PLATFORM_PIPE_H

#include "platform/types.h"

namespace zel::platform {

// Creates a pipe. `size` is a buffer size hint in bytes (0: the default);
// it is raised to the system's default when smaller. False with the last
// error set (ERROR_TOO_MANY_OPEN_FILES, ERROR_NO_SYSTEM_RESOURCES), both
// handles then 0.
ZEL_PLATFORM_EXPORT bool CreatePipe(HANDLE* read_handle, HANDLE* write_handle, DWORD size) noexcept;

// Reads up to `bytes_to_read` bytes, waiting until at least one is there;
// `*bytes_read` gets the count. False with ERROR_BROKEN_PIPE at the end of
// the stream (every write handle closed), ERROR_INVALID_HANDLE for a handle
// that is not a pipe's read end.
ZEL_PLATFORM_EXPORT bool ReadFile(HANDLE handle, void* buffer, DWORD bytes_to_read,
                                  DWORD* bytes_read) noexcept;

// Writes all `bytes_to_write` bytes, waiting while the pipe is full;
// `*bytes_written` gets the count. False with ERROR_BROKEN_PIPE when the
// read end is closed, ERROR_INVALID_HANDLE for a handle that is not a
// pipe's write end.
ZEL_PLATFORM_EXPORT bool WriteFile(HANDLE handle, const void* buffer, DWORD bytes_to_write,
                                   DWORD* bytes_written) noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_PIPE_H
