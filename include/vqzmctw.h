/*
 * The host-request processor, SHARED/VQZMCTW.DLL under the installation
 * directory: the manager loads it when the first request that a host
 * program started towards the PWS arrives, and hands it each request once
 * all of its data has come.
 *
 * A request names a PC program. The processor serves it in one of two ways:
 *
 * 1. A program registered for the name (crRegisterProgram) gets the request
 *    as the message it registered, posted to its window: wParam 0, lParam a
 *    CrRequestBlock that the program frees with zelFreeBlock.
 * 2. Otherwise a program configured for the name in the connection
 *    configuration file ("program NAME COMMAND ARGUMENTS...") is started for
 *    the request, with ZEL_REQUEST_RID (the 11-character RID),
 *    ZEL_REQUEST_PROGRAM, ZEL_REQUEST_VALUE, ZEL_REQUEST_VERSION and
 *    ZEL_REQUEST_LENGTH added to its environment (ZEL_HOME, ZEL_INSTANCE and
 *    ZEL_CONFIG are inherited).
 *
 * Either way the program takes the request's data with caRtvData and the
 * RID, and answers with caReturnData. It has "program-timeout SECONDS" of
 * the configuration file (default 60) to answer; a started program still
 * running then is ended.
 *
 * When the processor gives up on a request it answers the host itself with
 * caReturnData: no data, and one of the CR_RC_* codes below as the value.
 * A request it cannot take at all is refused by crPwsRRP, and the manager
 * answers the host with an error return (return-code return) instead.
 */
#ifndef VQZMCTW_H
#define VQZMCTW_H

#include <stdint.h>

#include "vqzmcb.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef VQZMCTW_API
#define VQZMCTW_API __attribute__((visibility("default")))
#endif

/* Takes over the host request `pRequest` of system `pSystem`: 0 when it has
 * been accepted (the processor then answers the host itself, or has the PC
 * program answer it), any other code to have the manager answer the host
 * with an error return. The manager deletes the record, and frees its data,
 * when the call returns: the processor copies whatever it keeps. Called on
 * the system's communication thread in the manager; it must not block.
 *
 * Codes the processor refuses a request with (the host sees them as the
 * manager's error return maps them):
 *   1286  no program is registered or configured for the name
 *   1049  the registered program's window is gone (its registration is
 *         dropped)
 *   1066  the configured command cannot be started (no such file, or not
 *         executable); the host sees 0x8412
 *   1026  the request's answer event cannot be made
 *   4     no memory, or the processor's thread cannot be started */
typedef uint16_t (*PFNPWSRRP)(RZ700ReqStruct* pRequest, RZ700SysStruct* pSystem);

#define VQZMCTW_ENTRY "crPwsRRP"

VQZMCTW_API uint16_t crPwsRRP(RZ700ReqStruct* pRequest, RZ700SysStruct* pSystem) VQZM_NOEXCEPT;

/* Values of the processor's own answers (caReturnData, no data). */
#define CR_RC_PROGRAM_ENDED 0x8420u   /* the started program ended (exit or crash) unanswered */
#define CR_RC_PROGRAM_TIMEOUT 0x8421u /* no answer within program-timeout */
#define CR_RC_NOT_DELIVERED 0x8422u   /* the program could not be started or posted to */

/* The processor learns that a request was answered through the event
 * CR_ANSWER_EVENT_PREFIX + RID: caReturnData sets it, when it exists, once
 * its answer has been sent. */
#define CR_ANSWER_EVENT_PREFIX "ZELCRANSWER"

#pragma pack(push, 1)

/* What a registered program's window is posted for each request. */
typedef struct CrRequestBlock {
  char achRID[ZEL_RID_LEN]; /* for caRtvData and caReturnData */
  char szPgmName[22];       /* the name it was registered for, upper case */
  uint32_t ulValue;         /* the value the host program sent with the request */
  uint32_t ulDataVersion;   /* 1: packet data */
  uint32_t ulDataLen;       /* bytes caRtvData will hand over */
} CrRequestBlock;

#pragma pack(pop)

/* Registers the running program's window `hwnd` (a window of zelapp.h) to
 * be posted message `usMsg` for each host request for `pszName` (1 to 21
 * characters, compared regardless of case), until crUnregisterProgram or
 * until its window is found gone. The name is also kept in the manager's
 * 3rd-party list. Any process of the instance, any thread. 0; 1050 for a
 * missing or too long name; 1051 for a message below 1024; 1049 for a
 * handle that is no window; 1287 when the name is registered already; 4
 * when the table (64 names) is full; 1026 when the shared table cannot be
 * reached. */
VQZMCTW_API uint16_t crRegisterProgram(const char* pszName, uint32_t hwnd,
                                       uint16_t usMsg) VQZM_NOEXCEPT;

/* Ends the registration of `pszName`. 0; 1050 for a missing or too long
 * name; 1286 when it is not registered; 1026 as above. */
VQZMCTW_API uint16_t crUnregisterProgram(const char* pszName) VQZM_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VQZMCTW_H */
