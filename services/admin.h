/*
 * Administration service QlxAd (part of lib/libqlx.so): where the product is
 * installed. ZEL_HOME when set, else the directory above the one holding
 * lib/libqlx.so. Callable from any thread.
 */
#ifndef ZEL_SERVICES_ADMIN_H
#define ZEL_SERVICES_ADMIN_H

#include <stdint.h>

#ifndef QLX_EXPORT
#define QLX_EXPORT __attribute__((visibility("default")))
#endif

#define QLXAD_RC_OK 0u
#define QLXAD_RC_BUFFER_OVERFLOW 111u /* *pulLength then holds the size needed */
#define QLXAD_RC_INVALID_PARAMETER 7009u

#ifdef __cplusplus
extern "C" {
#endif

/* Function 7. The installation directory, without a trailing slash, NUL terminated, into
 * a buffer of *pulLength bytes; *pulLength becomes the text's length. */
QLX_EXPORT uint32_t qlxAD_GetInstallDir(char* pszDir, uint32_t* pulLength);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZEL_SERVICES_ADMIN_H */
