/* async_echo: one asynchronous request to the host program ECHO, its answer
 * taken from a message window that the program waits on with poll(), as an
 * event loop would.
 *
 *   async_echo SYSTEM [TEXT]
 *
 * SYSTEM is a system of the connection configuration (ZEL_CONFIG); TEXT is
 * the request data (default "hello, host"). Exit codes: 0 the answer is the
 * request; 1 a call failed; 2 wrong arguments; 3 no answer within 60 s;
 * 4 an answer that is not the request (a return code, or other data).
 *
 * Build: cc async_echo.c $(pkg-config --cflags --libs zelcomm)
 */
#define _POSIX_C_SOURCE 200809L

#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "vqzmcsw.h"
#include "zelapp.h"

enum {
  kEchoAnswer = 0x0500, /* the message number the answer comes as */
  kAnswerWaitMs = 60000,
  kExitOk = 0,
  kExitCallFailed = 1,
  kExitUsage = 2,
  kExitNoAnswer = 3,
  kExitWrongAnswer = 4
};

static int call_failed(const char* call, uint16_t rc) {
  fprintf(stderr, "async_echo: %s failed: rc %u\n", call, rc);
  return kExitCallFailed;
}

static long long now_ms(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Waits on the window's descriptor `fd` until a message numbered
 * kEchoAnswer comes; 1 with it in *msg, 0 when none came within
 * kAnswerWaitMs. */
static int wait_for_answer(uint32_t hwnd, int fd, ZelMessage* msg) {
  struct pollfd ready = {fd, POLLIN, 0};
  long long deadline = now_ms() + kAnswerWaitMs;
  for (long long left = kAnswerWaitMs; left > 0; left = deadline - now_ms()) {
    if (poll(&ready, 1, (int)left) != 1) continue; /* time-out or a signal */
    if ((ready.revents & POLLIN) == 0) return 0;  /* the descriptor failed */
    /* A wake-up may find nothing to take (1059): look again. */
    if (zelWaitMessage(hwnd, 0, msg) != VQZM_RC_OK) continue;
    if (msg->message == kEchoAnswer) return 1;
  }
  return 0;
}

/* Checks the answer against the request and prints it. The block in lParam
 * is ours: the caller frees it. */
static int check_answer(const ZelMessage* msg, const char* rid, const char* text) {
  const char* block = (const char*)msg->lParam;
  if (msg->wParam == 1) {
    uint16_t rc;
    memcpy(&rc, block, sizeof rc);
    printf("answer: wParam 1, return code %u, no data\n", rc);
    return kExitWrongAnswer;
  }
  AsyncRetPrefix prefix;
  memcpy(&prefix, block, sizeof prefix);
  if (zelBlockSize(block) < sizeof prefix + prefix.ulDataLen) {
    fprintf(stderr, "async_echo: the answer's block is shorter than its prefix says\n");
    return kExitWrongAnswer;
  }
  const char* data = block + sizeof prefix;
  printf("answer: wParam %u, RID %.11s, value %u, data version %u, %u bytes: \"%.*s\"\n",
         (unsigned)msg->wParam, prefix.achRID, prefix.ulValue, prefix.ulDataVersion,
         prefix.ulDataLen, (int)prefix.ulDataLen, data);
  int same = memcmp(prefix.achRID, rid, sizeof prefix.achRID) == 0 &&
             prefix.ulDataLen == strlen(text) && memcmp(data, text, prefix.ulDataLen) == 0;
  if (!same) {
    fprintf(stderr, "async_echo: the answer is not the request\n");
    return kExitWrongAnswer;
  }
  return kExitOk;
}

/* Sends the request on conversation `conv`, answered to a window of this
 * thread, and waits for the answer. */
static int echo(uint32_t conv, const char* text) {
  uint32_t hwnd = 0;
  uint16_t rc = zelCreateWindow(&hwnd);
  if (rc != VQZM_RC_OK) return call_failed("zelCreateWindow", rc);
  int fd = zelWindowFd(hwnd);
  if (fd < 0) {
    zelDestroyWindow(hwnd);
    fprintf(stderr, "async_echo: the window has no descriptor\n");
    return kExitCallFailed;
  }

  AsyncRequest request;
  memset(&request, 0, sizeof request);
  request.ulConvId = conv;
  strcpy(request.szPgmName, "ECHO");
  request.ulValue = 7;
  request.pData = (void*)text;
  request.ulDataLen = (uint32_t)strlen(text);
  request.hwndNotify = hwnd;
  request.usNotifyMsg = kEchoAnswer;
  char rid[11];
  rc = caProcessAsync(&request, rid);
  if (rc != VQZM_RC_OK) {
    zelDestroyWindow(hwnd);
    return call_failed("caProcessAsync", rc);
  }
  printf("caProcessAsync(ECHO, %u bytes): RID %.11s\n", request.ulDataLen, rid);

  ZelMessage msg;
  int result;
  if (wait_for_answer(hwnd, fd, &msg)) {
    result = check_answer(&msg, rid, text);
    zelFreeBlock((void*)msg.lParam);
  } else {
    fprintf(stderr, "async_echo: no answer within %d s\n", kAnswerWaitMs / 1000);
    /* Nobody will take it: the manager throws the answer away. */
    caAbortProcessAsync(rid, 0);
    result = kExitNoAnswer;
  }
  zelDestroyWindow(hwnd);
  return result;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: async_echo SYSTEM [TEXT]\n");
    return kExitUsage;
  }
  const char* text = argc == 3 ? argv[2] : "hello, host";
  uint32_t conv = 0;
  uint16_t rc = caInitializeZELComm(argv[1], 0, 0, 0, &conv, 0);
  if (rc != VQZM_RC_OK) return call_failed("caInitializeZELComm", rc);
  printf("caInitializeZELComm(\"%s\"): conversation %u\n", argv[1], conv);
  int result = echo(conv, text);
  rc = caStopZELComm(conv);
  if (rc != VQZM_RC_OK && result == kExitOk) return call_failed("caStopZELComm", rc);
  return result;
}
