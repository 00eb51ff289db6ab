/* A plain C application receives on a message window what another process
 * posts to it: it waits for the window's descriptor with poll, takes the
 * message, frees the global block that came with it and destroys the
 * window. */
#define _POSIX_C_SOURCE 200809L

#include <poll.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>

#include "vqzmcm.h"
#include "zelapp.h"

extern char** environ;

enum { kAnswer = 0x0500 };
static const char kText[] = "an answer";

static int failed(const char* what) {
  fprintf(stderr, "%s\n", what);
  return 1;
}

/* The other process: places kText in a global block, as the component
 * places a reply, and posts it to the window. */
static int post_block(uint32_t hwnd) {
  uint32_t length = sizeof kText;
  void* data = malloc(length);
  if (data == NULL) return 2;
  memcpy(data, kText, length);
  void* block = data;
  if (cdConvRcvdDataBuffer(1, 0, &length, &block) != VQZM_RC_OK || block == NULL) return 3;
  return zelPostMessage(hwnd, kAnswer, 7, (intptr_t)block) == VQZM_RC_OK ? 0 : 4;
}

/* Runs this program as the poster of a block to the window. */
static int start_poster(const char* self, uint32_t hwnd, pid_t* poster) {
  char handle[16];
  snprintf(handle, sizeof handle, "%u", (unsigned)hwnd);
  char command[] = "post";
  char* argv[] = {(char*)self, command, handle, NULL};
  return posix_spawn(poster, self, NULL, NULL, argv, environ) == 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "post") == 0) {
    return post_block((uint32_t)strtoul(argv[2], NULL, 10));
  }
  uint32_t hwnd = 0;
  if (zelCreateWindow(&hwnd) != VQZM_RC_OK || hwnd == 0) return failed("no window was made");
  struct pollfd ready = {zelWindowFd(hwnd), POLLIN, 0};
  if (ready.fd < 0) return failed("the window has no descriptor");
  if (poll(&ready, 1, 0) != 0) return failed("the descriptor polls readable with nothing queued");

  pid_t poster;
  if (!start_poster(argv[0], hwnd, &poster)) return failed("the poster did not start");
  if (poll(&ready, 1, 10000) != 1 || (ready.revents & POLLIN) == 0) {
    return failed("the post did not make the descriptor readable");
  }
  ZelMessage msg;
  if (zelWaitMessage(hwnd, 0, &msg) != VQZM_RC_OK) return failed("no message to take");
  if (msg.hwnd != hwnd || msg.message != kAnswer || msg.wParam != 7) {
    return failed("not the message that was posted");
  }
  void* block = (void*)msg.lParam;
  if (zelBlockSize(block) != sizeof kText || memcmp(block, kText, sizeof kText) != 0) {
    return failed("the posted block does not hold the answer");
  }
  if (zelFreeBlock(block) != VQZM_RC_OK) return failed("the posted block was not ours to free");
  int status = 0;
  if (waitpid(poster, &status, 0) != poster || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return failed("the poster failed");
  }
  if (poll(&ready, 1, 0) != 0) return failed("the descriptor stays readable once all is taken");
  if (zelWaitMessage(hwnd, 0, &msg) != VQZM_RC_TIMED_OUT) return failed("a message too many");

  if (zelDestroyWindow(hwnd) != VQZM_RC_OK) return failed("the window was not destroyed");
  if (zelPostMessage(hwnd, kAnswer, 0, 0) != VQZM_RC_NO_ASYNC_FOR_WINDOW) {
    return failed("a destroyed window took a post");
  }
  puts("1 passed, 0 failed");
  return 0;
}
