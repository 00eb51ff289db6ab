/*
 * QLXUNAPI (part of lib/libqlx.so): system handles of an application's
 * connection environment, for the component named by a short word ("zel").
 * Callable from any thread. It never throws: when it fails inside it returns
 * QLXCO_RC_NO_MEMORY or QLXCO_RC_INTERNAL_ERROR and raises the error point
 * EXT_EXCEPTION.
 */
#ifndef ZEL_SERVICES_UNAPI_H
#define ZEL_SERVICES_UNAPI_H

#include <stdint.h>

#include "services/qlx_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Function 65. Checks that *phSystem is a system object of this process for the named
 * system (any system when the name is null) and may be used by `component`.
 * With *phSystem 0 it creates one for the system (see qlxCO_CreateSystem)
 * and stores its handle. Returns 0 or a QLXCO_RC_* code. */
QLX_EXPORT uint32_t qlxUN_GetSystemHandle(const char* pszSystemName, const char* pszComponent,
                                          uint32_t* phSystem) QLX_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZEL_SERVICES_UNAPI_H */
