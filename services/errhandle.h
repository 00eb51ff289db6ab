/*
 * Error handles of the client-side service libraries (QlxSv, in
 * lib/libqlx.so).
 *
 * A caller creates an error handle, passes it to service calls, and when a
 * call fails reads the handle's error text to explain the failure in its
 * trace; then it deletes the handle. Every service of libqlx records the
 * failure of a call in the handle it was given (zel::qlx::SetError below).
 *
 * Handles are 32-bit handles of the platform's handle table
 * (platform/handles.h) and belong to the process that created them: a handle
 * made by another process (read from a shared record, say, or inherited by
 * a child forked without exec) is refused with QLXSV_INVALID_HANDLE, never
 * taken for one of this process's handles; so is a handle of another
 * service's kind. 0 is never a valid handle, and a deleted handle's value
 * comes back only after some 65,000 later closes in the process. A process
 * holds at most QLXSV_MAX_HANDLES error handles at once, and fewer when the
 * handle table (16,384 handles of every kind together) is full.
 *
 * Every function may be called from any thread, on one handle too; a call
 * racing the handle's deletion either completes as if it came first or
 * fails with QLXSV_INVALID_HANDLE. No function throws: one that fails inside
 * returns QLXSV_NO_MEMORY or QLXSV_INTERNAL_ERROR and raises the error
 * point EXT_EXCEPTION.
 */
#ifndef ZEL_SERVICES_ERRHANDLE_H
#define ZEL_SERVICES_ERRHANDLE_H

#include <stdint.h>

#include "services/qlx_export.h"

/* Results of the QlxSv calls (the other services return these too when the
 * error handle they were given is bad). */
enum QlxSvResult {
  QLXSV_OK = 0,
  QLXSV_INVALID_HANDLE = 6301,  /* 0, deleted, of another kind or made by another process */
  QLXSV_NO_MORE_HANDLES = 6302, /* this process holds QLXSV_MAX_HANDLES, or its table is full */
  QLXSV_INVALID_POINTER = 6303, /* a required pointer argument is null */
  QLXSV_NO_MEMORY = 6304,       /* memory ran out */
  QLXSV_INTERNAL_ERROR = 6305   /* the library failed inside (an unexpected exception) */
};

enum { QLXSV_MAX_HANDLES = 1024, QLXSV_MAX_TEXT = 256 /* bytes, NUL included */ };

#ifdef __cplusplus
extern "C" {
#endif

/* Creates an error handle with no error recorded (function 79). On failure
 * *handle is 0. */
QLX_EXPORT uint32_t qlxSV_CreateErrHandle(uint32_t* handle) QLX_NOEXCEPT;

/* Deletes a handle of this process (function 80). */
QLX_EXPORT uint32_t qlxSV_DeleteErrHandle(uint32_t handle) QLX_NOEXCEPT;

/* Copies the handle's error text, NUL-terminated and cut to `size` bytes,
 * into `buffer` (function 81). An empty text when no error was recorded. On
 * failure the buffer holds an empty text (when size > 0). */
QLX_EXPORT uint32_t qlxSV_GetErrText(uint32_t handle, char* buffer, uint32_t size) QLX_NOEXCEPT;

/* Copies the text of the last failure a service of libqlx had on the
 * calling thread, whether or not an error handle was passed, NUL-terminated
 * and cut to `size` bytes; an empty text when there was none. For the
 * functions that take no error handle, such as qlxCO_CreateSystem, it is
 * the only way to learn why (a bad configuration line, say). Returns
 * QLXSV_OK or QLXSV_INVALID_POINTER. */
QLX_EXPORT uint32_t qlxSV_GetLastFailText(char* buffer, uint32_t size) QLX_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */

#include <string_view>

namespace zel::qlx {

/* For the services of libqlx: records the failure of a call in `handle`
 * as the number and text that the caller will read back with
 * qlxSV_GetErrText, which returns "QLX<number>: <text>" cut to 255
 * characters. A later failure replaces an earlier one. Returns QLXSV_OK, or
 * QLXSV_INVALID_HANDLE (nothing recorded). */
QLX_EXPORT uint32_t SetError(uint32_t handle, uint32_t number, std::string_view text);

/* True for a live handle of this process. */
QLX_EXPORT bool IsValidErrHandle(uint32_t handle);

/* The number last recorded in `handle`; 0 when none or when the handle is
 * not valid. */
QLX_EXPORT uint32_t ErrorNumber(uint32_t handle);

}  // namespace zel::qlx

#endif /* __cplusplus */

#endif /* ZEL_SERVICES_ERRHANDLE_H */
