/*
 * What an application needs of zelcomm beyond the component's calls
 * (vqzmcsw.h): releasing the blocks the component hands it.
 *
 * Link with -lzelplat (pkg-config zelcomm names it). The calls may be made
 * from any thread and never throw (in C++ they are noexcept).
 *
 *   ProcessReply reply;
 *   if (caProcessSync(&request, &reply) == 0) {
 *     use(reply.pData, reply.ulDataLen);
 *     zelFreeBlock(reply.pData);
 *   }
 */
#ifndef ZELAPP_H
#define ZELAPP_H

#include <stddef.h>
#include <stdint.h>

#include "vqzmrc.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ZELAPP_API
#define ZELAPP_API __attribute__((visibility("default")))
#endif

/* Frees a block the component handed to the application: the reply data of
 * caProcessSync and caRtvData. A null block is nothing to free (0). 0, or
 * 1026 for anything that is not a live block (freed already, or never
 * handed out), which is left alone. */
ZELAPP_API uint16_t zelFreeBlock(void* pBlock) VQZM_NOEXCEPT;

/* The size of a live block in bytes; 0 for null or anything else. */
ZELAPP_API size_t zelBlockSize(const void* pBlock) VQZM_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZELAPP_H */
