/*
 * The communication component vqzmcsw: the calls an application makes to
 * exchange requests and data with programs on a host system.
 *
 * Link with -lvqzmcsw. Every call returns a 16-bit return code, 0 for
 * success (vqzmrc.h). Calls may be made from any thread of any process. No
 * call ever throws (in C++ they are noexcept): a failure inside returns 4
 * when memory ran out, 1026 otherwise.
 *
 *   uint32_t conv = 0;
 *   uint16_t rc = caInitializeZELComm("HOSTA", 0, 0, 0, &conv, 0);
 *   ...
 *   caStopZELComm(conv);
 */
#ifndef VQZMCSW_H
#define VQZMCSW_H

#include <stdint.h>

#include "vqzmrc.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef VQZM_API
#define VQZM_API __attribute__((visibility("default")))
#endif

/* Starts communication with host system `pszSystemName` (null: the default
 * system), starting the communication manager first when it is not running,
 * and stores a new conversation ID in *pulConvId. `hSysHandle` is a system
 * handle of the caller's connection environment (its user ID is used for
 * the sign-on), or 0. `hwndNotify` and `usNotifyMsg` are kept for callers
 * that start on a thread of their own; `ulInternal` is only traced. A null
 * `pulConvId` is refused with 1026 before anything is started or issued. */
VQZM_API uint16_t caInitializeZELComm(const char* pszSystemName, uint32_t hwndNotify,
                                      uint16_t usNotifyMsg, uint32_t hSysHandle,
                                      uint32_t* pulConvId, uint32_t ulInternal) VQZM_NOEXCEPT;

/* Gives the conversation ID back. When it was the system's last
 * conversation, the manager stops the system after its idle time. */
VQZM_API uint16_t caStopZELComm(uint32_t ulConvId) VQZM_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VQZMCSW_H */
