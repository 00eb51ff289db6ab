/*
 * Host connection service QlxCo (part of lib/libqlx.so).
 *
 * A system object stands for one configured host system; its sign-on
 * connection carries the host's service 11 (the init buffers of the PWS and
 * the host's answers), and the data-queue service (services/dataqueue.h)
 * reaches the same host through it. Systems are configured in the file named
 * by ZEL_CONFIG (default $XDG_CONFIG_HOME/zel/zel.conf, else
 * ~/.config/zel/zel.conf), one directive per line:
 *
 *   system NAME HOST:PORT   a host system and the address of its zelhost
 *   default NAME            the default system
 *   user USERID             user ID for signing on when none was set
 *   program NAME COMMAND... a PC program that serves host requests for NAME
 *                           (read by the host-request processor, vqzmctw.h)
 *   program-timeout SECONDS how long such a program has to answer (default 60)
 *   share NAME /PATH        where system NAME's shared folder is on this
 *                           workstation (mounted or placed there)
 *   # ...                   comment; blank lines are ignored
 *
 * An unknown directive or a malformed line, or a file that exists but cannot
 * be read, makes every call that reads the file fail with QLXCO_RC_CONFIG,
 * naming the file (and line). A missing file is an empty configuration.
 * qlxCO_CreateSystem takes no error handle: qlxSV_GetLastFailText tells why
 * it failed.
 *
 * Handles are handles of the platform's handle table (platform/handles.h)
 * and belong to the process that made them; in another process (a child
 * forked without exec included) they are refused with
 * QLXCO_RC_INVALID_HANDLE, and so are closed handles and handles of another
 * kind (a queue handle given as a system object). A closed handle's value
 * comes back only after some 65,000 later closes. A process holds at most
 * 16,384 handles of every kind together (this service's, the data-queue and
 * error-handle services' and the platform's own); past that the creators
 * fail with QLXCO_RC_NO_MEMORY and qlxCO_GetSrvHandle returns 0.
 *
 * All functions may be called from any thread, on one handle too. A call
 * racing the deletion of its handle is safe: it fails with
 * QLXCO_RC_INVALID_HANDLE or works on the object as it finds it, and a
 * system object once deleted is never connected again. Sends on one service
 * handle are serialised, and so are receives.
 * Every wait on the host is bounded (QLXCO_RC_RECEIVE after 60 s without an
 * answer; a failed receive shuts the sign-on connection). Functions return 0
 * or a QLXCO_RC_* code; where an error handle is passed (0: none), the code
 * and an explanatory text are also stored in it. No function throws: one
 * that fails inside returns QLXCO_RC_NO_MEMORY or QLXCO_RC_INTERNAL_ERROR
 * (a handle or token function its 0 or null) and raises the error point
 * EXT_EXCEPTION; the error handle is then left as it was.
 *
 * Function numbers: GetDefaultSystemName 363, TestConnection 406, GetUserID
 * 410, GetSignOnInfo 6055.
 */
#ifndef ZEL_SERVICES_CONNECTION_H
#define ZEL_SERVICES_CONNECTION_H

#include <stdint.h>

#include "services/qlx_export.h"

#define QLXCO_RC_OK 0u
#define QLXCO_RC_BUFFER_OVERFLOW 111u /* the result does not fit the caller's buffer */
#define QLXCO_RC_INVALID_HANDLE 5001u /* not a live handle of this process */
#define QLXCO_RC_NOT_CONFIGURED 5002u /* no such system in the configuration file */
#define QLXCO_RC_CONFIG 5003u         /* the configuration file has a bad line */
#define QLXCO_RC_CONNECT 5004u        /* the host cannot be reached or refused us */
#define QLXCO_RC_NOT_CONNECTED 5005u  /* the service is not connected (or was lost) */
#define QLXCO_RC_SEND 5006u           /* sending to the host failed */
#define QLXCO_RC_RECEIVE 5007u        /* nothing or something malformed came back */
#define QLXCO_RC_END_OF_LIST 5008u    /* no further system name */
#define QLXCO_RC_INVALID_PARAMETER 5009u
#define QLXCO_RC_SIGNON_REFUSED 5010u /* the host refused the user ID */
#define QLXCO_RC_SERVICE 5011u        /* a service other than 11 */
#define QLXCO_RC_NO_MEMORY 5012u      /* memory or handles ran out */
#define QLXCO_RC_INTERNAL_ERROR 5013u /* the library failed inside (an unexpected exception) */

/* The host service the PWS uses. */
#define QLXCO_SERVICE_SIGNON 11u

/* The further setting of a system object: how it signs on. */
#define QLXCO_SIGNON_DEFAULT 0u /* the user ID set, else the configured one */
#define QLXCO_SIGNON_USE_SET 2u /* exactly the user ID set on the object */

/* Size of the work area of qlxCO_GetConnToken. */
#define QLXCO_TOKEN_SIZE 16u

#ifdef __cplusplus
extern "C" {
#endif

/* System objects. */
QLX_EXPORT uint32_t qlxCO_CreateSystem(const char* pszSystemName, uint32_t* phSystem) QLX_NOEXCEPT;
/* Disconnects whatever is still connected and releases the object. */
QLX_EXPORT uint32_t qlxCO_DeleteSystem(uint32_t hSystem) QLX_NOEXCEPT;
/* The user ID (at most 10 characters) to sign on with at the next connect. */
QLX_EXPORT uint32_t qlxCO_SetUserID(uint32_t hSystem, const char* pszUserID) QLX_NOEXCEPT;
/* The password sent with the user ID at the next connect. */
QLX_EXPORT uint32_t qlxCO_SetPassword(uint32_t hSystem, const char* pszPassword) QLX_NOEXCEPT;
/* The further setting: QLXCO_SIGNON_DEFAULT or QLXCO_SIGNON_USE_SET. */
QLX_EXPORT uint32_t qlxCO_SetSignOnMode(uint32_t hSystem, uint32_t ulMode) QLX_NOEXCEPT;
/* The object's user ID (as set, signed on or configured) into a buffer of
 * `ulLength` bytes, NUL terminated; an empty text when there is none. */
QLX_EXPORT uint32_t qlxCO_GetUserID(uint32_t hSystem, char* pszUserID,
                                    uint32_t ulLength) QLX_NOEXCEPT;
/* The user ID and password the object signed on with (the password as set;
 * empty when none). Fails with QLXCO_RC_NOT_CONNECTED before a connect. */
QLX_EXPORT uint32_t qlxCO_GetSignOnInfo(uint32_t hSystem, char* pszUserID, uint32_t ulUserSize,
                                        char* pszPassword, uint32_t ulPasswordSize) QLX_NOEXCEPT;

/* Connects and signs on for the service; connecting a connected object does
 * nothing. Disconnect ends the sign-on connection. */
QLX_EXPORT uint32_t qlxCO_Connect(uint32_t hSystem, uint32_t ulService, uint32_t hErr) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxCO_Disconnect(uint32_t hSystem, uint32_t ulService,
                                     uint32_t hErr) QLX_NOEXCEPT;
/* Connection test: 0 with *pulConnected 1 when the object is a live handle
 * of this process whose service is connected and not closed by the host;
 * otherwise a nonzero code and *pulConnected 0. */
QLX_EXPORT uint32_t qlxCO_TestConnection(uint32_t hSystem, uint32_t ulService,
                                         uint32_t* pulConnected) QLX_NOEXCEPT;

/* The service handle of a connected object; 0 when not connected. */
QLX_EXPORT uint32_t qlxCO_GetSrvHandle(uint32_t hSystem, uint32_t ulService) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxCO_ReleaseSrvHandle(uint32_t hSystem, uint32_t hSrvHandle) QLX_NOEXCEPT;
/* Sends bytes as given (the caller frames its messages). */
QLX_EXPORT uint32_t qlxCO_Send(uint32_t hSrvHandle, const void* pData,
                               uint32_t ulLength) QLX_NOEXCEPT;
/* Completes the sends made so far: 0 while the connection stands. */
QLX_EXPORT uint32_t qlxCO_SendComplete(uint32_t hSrvHandle) QLX_NOEXCEPT;
/* Receives the host's next message without its frame header: at most
 * `ulCapacity` bytes (the rest of a longer message is dropped), and its
 * length in *pulLength. */
QLX_EXPORT uint32_t qlxCO_Recv(uint32_t hSrvHandle, void* pBuffer, uint32_t* pulLength,
                               uint32_t ulCapacity) QLX_NOEXCEPT;

/* The host's number for the connection behind a service handle, from which
 * the PWS proposes its queue name: the first call fills a work area of
 * QLXCO_TOKEN_SIZE bytes and returns it (null on failure), the second reads
 * the 32-bit number from it (0 for anything that is not such a token). */
QLX_EXPORT void* qlxCO_GetConnToken(uint32_t hSrvHandle, void* pWork) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxCO_GetTokenValue(const void* pToken) QLX_NOEXCEPT;

/* The local path of the system's shared folder (`share` line) into a buffer
 * of `ulSize` bytes; QLXCO_RC_NOT_CONFIGURED when the system has none. */
QLX_EXPORT uint32_t qlxCO_GetSharePath(const char* pszSystemName, char* pszPath,
                                       uint32_t ulSize) QLX_NOEXCEPT;

/* The configured default system name; an empty name when none is set. */
QLX_EXPORT uint32_t qlxCO_GetDefaultSystemName(char* pszName, uint32_t ulSize,
                                               uint32_t hErr) QLX_NOEXCEPT;

/* The configured system names, in file order. GetNextSysName returns
 * QLXCO_RC_BUFFER_OVERFLOW with the size needed in *pulNeeded (without
 * moving on) when a name does not fit, QLXCO_RC_END_OF_LIST after the last. */
QLX_EXPORT uint32_t qlxCO_CreateSysList(uint32_t* phList) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxCO_DeleteSysList(uint32_t hList) QLX_NOEXCEPT;
QLX_EXPORT uint32_t qlxCO_GetNextSysName(uint32_t hList, char* pszName, uint32_t ulSize,
                                         uint32_t* pulNeeded) QLX_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZEL_SERVICES_CONNECTION_H */
