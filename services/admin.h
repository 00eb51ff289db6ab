/*
 * Administration service QlxAd (part of lib/libqlx.so): where the product is
 * installed. ZEL_HOME when set, else the directory above the one holding
 * lib/libqlx.so. Callable from any thread. It never throws: when it fails
 * inside it returns QLXAD_RC_NO_MEMORY or QLXAD_RC_INTERNAL_ERROR and raises
 * the error point EXT_EXCEPTION.
 */
#ifndef ZEL_SERVICES_ADMIN_H
#define ZEL_SERVICES_ADMIN_H

#include <stdint.h>

#include "services/qlx_export.h"

#define QLXAD_RC_OK 0u
#define QLXAD_RC_BUFFER_OVERFLOW 111u /* *pulLength then holds the size needed */
#define QLXAD_RC_INVALID_PARAMETER 7009u
#define QLXAD_RC_NO_MEMORY 7012u      /* memory ran out */
#define QLXAD_RC_INTERNAL_ERROR 7013u /* the service failed inside (an unexpected exception) */

#ifdef __cplusplus
extern "C" {
#endif

/* Function 7. The installation directory, without a trailing slash, NUL terminated, into
 * a buffer of *pulLength bytes; *pulLength becomes the text's length. */
QLX_EXPORT uint32_t qlxAD_GetInstallDir(char* pszDir, uint32_t* pulLength) QLX_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZEL_SERVICES_ADMIN_H */
