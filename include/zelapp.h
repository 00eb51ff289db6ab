/*
 * What an application needs of zelcomm beyond the component's calls
 * (vqzmcsw.h): releasing the blocks the component hands it, and message
 * windows that receive what is posted to it (asynchronous answers,
 * terminate-window messages).
 *
 * Link with -lzelplat (pkg-config zelcomm names it). The calls never throw
 * (in C++ they are noexcept).
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

/* ---- Blocks: any thread ---- */

/* Frees a block the component handed to the application: the reply data of
 * caProcessSync and caRtvData, or a block that came as a message's lParam.
 * A null block is nothing to free (0). 0, or 1026 for anything that is not
 * a live block (freed already, or never handed out), which is left alone. */
ZELAPP_API uint16_t zelFreeBlock(void* pBlock) VQZM_NOEXCEPT;

/* Allocates a zeroed block of `bytes` (0 counts as 1) that can be posted as a
 * message's lParam to a window of another process, which then owns it.
 * Null when the instance's global memory is full or cannot be reached. */
ZELAPP_API void* zelAllocBlock(size_t bytes) VQZM_NOEXCEPT;

/* The size of a live block in bytes; 0 for null or anything else. */
ZELAPP_API size_t zelBlockSize(const void* pBlock) VQZM_NOEXCEPT;

/* ---- Message windows ----
 *
 * A window belongs to the thread that creates it: that thread waits for
 * its messages and destroys it (1049 from any other thread). Any thread of
 * any process of the same instance (ZEL_INSTANCE) posts to it. A window
 * goes when it is destroyed, or when its thread or process ends; what was
 * queued for it is dropped then, and the blocks that came with those messages
 * from other processes are freed.
 *
 *   uint32_t hwnd;
 *   zelCreateWindow(&hwnd);
 *   ... pass hwnd as a request's hwndNotify ...
 *   struct pollfd ready = {zelWindowFd(hwnd), POLLIN, 0};
 *   while (poll(&ready, 1, -1) == 1) {
 *     ZelMessage msg;
 *     if (zelWaitMessage(hwnd, 0, &msg) != 0) continue;
 *     handle(&msg);
 *   }
 *   zelDestroyWindow(hwnd);
 */

/* zelWaitMessage's time-out for a wait without limit. */
#define ZEL_WAIT_FOREVER 0xFFFFFFFFu

/* A message taken from a window's queue. */
typedef struct ZelMessage {
  uint32_t hwnd;    /* the window it was posted to */
  uint32_t message; /* message number */
  uintptr_t wParam; /* first parameter, as posted */
  intptr_t lParam;  /* second parameter, as posted; a block's address is the
                       receiver's to free with zelFreeBlock */
} ZelMessage;

/* Creates a window owned by the calling thread and places its handle in
 * *phwnd (0 on failure). 0; 1026 for a null phwnd or when the instance's
 * shared objects cannot be reached; 4 when the instance's 1,024 windows are
 * all in use. Messages sent (rather than posted) to it are answered 0. */
ZELAPP_API uint16_t zelCreateWindow(uint32_t* phwnd) VQZM_NOEXCEPT;

/* Destroys a window of the calling thread; its readiness descriptor is
 * closed, so take it out of any poll set first. 0, or 1049 for no window of
 * this thread. */
ZELAPP_API uint16_t zelDestroyWindow(uint32_t hwnd) VQZM_NOEXCEPT;

/* Waits up to ulTimeoutMs milliseconds (0: looks once; ZEL_WAIT_FOREVER)
 * for the next message posted to hwnd, a window of the calling thread, and
 * takes it into *pMessage, oldest first per sender. 0; 1059 when none came
 * in time; 1049 for no window of this thread; 1026 for a null pMessage. */
ZELAPP_API uint16_t zelWaitMessage(uint32_t hwnd, uint32_t ulTimeoutMs,
                                   ZelMessage* pMessage) VQZM_NOEXCEPT;

/* A descriptor of a window of the calling thread that polls readable
 * (POLLIN, level-triggered) while a message for the window waits, for
 * poll, epoll or an event loop. The window owns it: never read or close
 * it. Once it polls readable, zelWaitMessage(hwnd, 0, ...) takes the
 * message; that call may still give 1059 when what waited was a message
 * sent to the window, which it answers. The same descriptor every call;
 * -1 for no window of this thread, or when the process has no descriptor
 * left. */
ZELAPP_API int zelWindowFd(uint32_t hwnd) VQZM_NOEXCEPT;

/* Posts a message to a window of any process of the instance, without
 * waiting for it to be taken; any thread. A block handed out by the
 * component (or taken from a message), posted as lParam to a window of
 * another process, becomes that process's to free. 0; 1049 when the window
 * does not exist or its process has ended; 1026 when the window has
 * 10,000 posted messages waiting (posts from every process count) or its
 * process accepts nothing for 5 s. */
ZELAPP_API uint16_t zelPostMessage(uint32_t hwnd, uint32_t message, uintptr_t wParam,
                                   intptr_t lParam) VQZM_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* ZELAPP_H */
