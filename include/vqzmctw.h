/*
 * The host-request processor, SHARED/VQZMCTW.DLL under the installation
 * directory: the manager loads it when the first request that a host
 * program started towards the PWS arrives, and hands it each request once
 * all of its data has come.
 */
#ifndef VQZMCTW_H
#define VQZMCTW_H

#include <stdint.h>

#include "vqzmcb.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Takes over the host request `pRequest` of system `pSystem`: 0 when it has
 * been accepted (the processor then answers the host itself, or has the PC
 * program answer it), any other code to have the manager answer the host
 * with an error return. The manager deletes the record, and frees its data,
 * when the call returns: the processor copies whatever it keeps. Called on
 * the system's communication thread in the manager; it must not block. */
typedef uint16_t (*PFNPWSRRP)(RZ700ReqStruct* pRequest, RZ700SysStruct* pSystem);

#define VQZMCTW_ENTRY "crPwsRRP"

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VQZMCTW_H */
