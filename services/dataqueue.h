/*
 * Host data-queue service QLXDQ (part of lib/libqlx.so).
 *
 * Keyed data queues on a host system, reached through a system object of the
 * connection service (services/connection.h). Attribute objects describe a
 * queue to create; queue handles name an existing queue; data objects carry
 * one entry to write or receive one entry read; read handles stand for a read
 * started with qlxDQ_AsyncRead and polled with qlxDQ_CheckData.
 *
 * Every handle is a handle of the platform's handle table
 * (platform/handles.h) and belongs to the process that made it: used in
 * another process (a child forked without exec included) it is refused with
 * QLXDQ_RC_INVALID_HANDLE, and so is a closed handle or one of another kind
 * (a data object given as a queue, a system object as a read). A closed
 * handle's value comes back only after some 65,000 later closes. A process
 * holds at most 16,384 handles of every kind together (shared with the
 * connection and error-handle services and the platform); past that
 * qlxDQ_CreateAttr and qlxDQ_CreateData return 0 and qlxDQ_OpenEx and
 * qlxDQ_AsyncRead fail with QLXDQ_RC_NO_MEMORY.
 *
 * Every function may be called from any thread; one data object or read
 * handle must not be used by two threads at once. A call racing the close
 * of its handle is safe: it fails with QLXDQ_RC_INVALID_HANDLE or completes
 * on the object as it finds it; a read started on a queue as the queue is
 * closed is cancelled with it.
 *
 * All functions return 0 or one of the QLXDQ_RC_* codes (creators return 0
 * on failure instead) and, where an error handle is given, also store the
 * code and an explanatory text in it. Nothing blocks without limit: host
 * round trips are bounded (QLXDQ_RC_CONNECTION when the host does not
 * answer), and waiting for an entry happens only inside the host.
 *
 * No function throws: one that fails inside returns QLXDQ_RC_NO_MEMORY or
 * QLXDQ_RC_INTERNAL_ERROR (a creator 0) and raises the error point
 * EXT_EXCEPTION; the error handle is then left as it was.
 *
 * Function numbers: CreateAttr 16, SetMaxRecLen 17, SetOrder 18, SetAuthority
 * 19, SetForceToStorage 20, SetSenderID 21, SetKeySize 22, DeleteAttr 31,
 * CreateEx 52, DeleteEx 53, OpenEx 54, Close 4, CreateData 32, DeleteData 33,
 * SetDataAddr 35, GetDataLen 38, SetKey 39, GetRetKey 43, SetSearchOrder 45,
 * SetConvert 47, Write 7, AsyncRead 10, CheckData 11.
 */
#ifndef ZEL_SERVICES_DATAQUEUE_H
#define ZEL_SERVICES_DATAQUEUE_H

#include <stdint.h>

#include "services/qlx_export.h"

/* Result codes, search orders and the queue order attribute: the numbers
 * the host's data-queue server uses on the wire. */
#include "wire/dataqueue_codes.h"

/* The wait of qlxDQ_AsyncRead without limit. */
#define QLXDQ_WAIT_FOREVER (-1)

#ifdef __cplusplus
extern "C" {
#endif

/* Attribute objects (defaults: record length 8320, keyed, key size 12). */
QLX_EXPORT uint32_t qlxDQ_CreateAttr(void) QLX_NOEXCEPT; /* 0 on failure */
QLX_EXPORT uint32_t qlxDQ_DeleteAttr(uint32_t hAttr) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxDQ_SetMaxRecLen(uint32_t hAttr, uint32_t ulMaxRecLen) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxDQ_SetOrder(uint32_t hAttr, uint32_t ulOrder) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxDQ_SetKeySize(uint32_t hAttr, uint32_t ulKeySize) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxDQ_SetAuthority(uint32_t hAttr, uint32_t ulAuthority) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxDQ_SetForceToStorage(uint32_t hAttr, uint32_t ulForce) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxDQ_SetSenderID(uint32_t hAttr, uint32_t ulSenderID) QLX_NOEXCEPT;

/* Queues, named by up to 10 characters of name and library on the host of
 * `hSystem`. `hErr` may be 0. */
QLX_EXPORT uint32_t qlxDQ_CreateEx(uint32_t hSystem, const char* pszQueue, const char* pszLibrary,
                                   uint32_t hAttr, uint32_t hErr) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxDQ_DeleteEx(uint32_t hSystem, const char* pszQueue, const char* pszLibrary,
                                   uint32_t hErr) QLX_NOEXCEPT;
/* Checks that the queue exists and hands out a queue handle. */
QLX_EXPORT uint32_t qlxDQ_OpenEx(uint32_t hSystem, const char* pszQueue, const char* pszLibrary,
                                 uint32_t* phQueue, uint32_t hErr) QLX_NOEXCEPT;
/* Closes the handle; a read still waiting on it is cancelled on the host and
 * an entry already on its way back is returned to the queue. */
QLX_EXPORT uint32_t qlxDQ_Close(uint32_t hQueue) QLX_NOEXCEPT;

/* Data objects. */
QLX_EXPORT uint32_t qlxDQ_CreateData(void) QLX_NOEXCEPT; /* 0 on failure */
QLX_EXPORT uint32_t qlxDQ_DeleteData(uint32_t hData) QLX_NOEXCEPT;
/* The caller's buffer: the entry to write, or where a read puts its entry.
 * It must stay valid while the data object uses it. */
QLX_EXPORT uint32_t qlxDQ_SetDataAddr(uint32_t hData, void* pData, uint32_t ulLength) QLX_NOEXCEPT;
/* Only 0 (bytes travel unchanged) is supported. */
QLX_EXPORT uint32_t qlxDQ_SetConvert(uint32_t hData, uint32_t ulConvert) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxDQ_SetKey(uint32_t hData, const void* pKey,
                                 uint32_t ulKeyLength) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxDQ_SetSearchOrder(uint32_t hData, uint32_t ulOrder) QLX_NOEXCEPT;
/* After a read: the key of the entry read (key size bytes and a NUL). */
QLX_EXPORT uint32_t qlxDQ_GetRetKey(uint32_t hData, void* pKey) QLX_NOEXCEPT;
/* After a read: the length of the entry read. */
QLX_EXPORT uint32_t qlxDQ_GetDataLen(uint32_t hData, uint32_t* pulLength) QLX_NOEXCEPT;

/* Writes the data object's buffer under its key. `ulCommit` other than 1 is
 * treated as 1: the call returns once the host has stored the entry. */
QLX_EXPORT uint32_t qlxDQ_Write(uint32_t hQueue, uint32_t hData, uint32_t ulCommit,
                                uint32_t hErr) QLX_NOEXCEPT;

/* Starts a keyed read of at most `lWait` seconds (QLXDQ_WAIT_FOREVER: no
 * limit) and hands out a read handle. The entry is taken from the queue by
 * exactly one reader; a read given up before qlxDQ_CheckData saw its entry
 * leaves the entry on the queue. */
QLX_EXPORT uint32_t qlxDQ_AsyncRead(uint32_t hQueue, uint32_t hData, int32_t lWait,
                                    uint32_t* phRead, uint32_t hErr) QLX_NOEXCEPT;
/* Polls a read: 0 when the entry is in the data object's buffer (the read
 * handle is then spent and released), QLXDQ_RC_IN_PROGRESS while it waits
 * (after waiting briefly for it inside this call), QLXDQ_RC_TIMEOUT when
 * the wait ran out (handle released), another code on failure (released). */
QLX_EXPORT uint32_t qlxDQ_CheckData(uint32_t hRead, uint32_t hErr) QLX_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZEL_SERVICES_DATAQUEUE_H */
