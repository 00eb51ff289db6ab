/* sync_call: one synchronous request to a host program, and its reply.
 *
 *   sync_call SYSTEM PROGRAM [DATA]
 *
 * SYSTEM is a system of the connection configuration (ZEL_CONFIG), PROGRAM
 * a host program (ECHO answers with the request's data), DATA the request
 * data (default: none). The reply's value and length go to standard output,
 * then its data. Exit codes: 0 the host program answered; 1 a call failed
 * or the host program answered with a return code; 2 wrong arguments; 3 no
 * reply within the time-out.
 *
 * Build: cc sync_call.c $(pkg-config --cflags --libs zelcomm)
 */
#include <stdio.h>
#include <string.h>

#include "vqzmcsw.h"
#include "zelapp.h"

enum {
  kReplyWaitSeconds = 30,
  kExitOk = 0,
  kExitCallFailed = 1,
  kExitUsage = 2,
  kExitNoReply = 3
};

static int call_failed(const char* call, uint16_t rc) {
  fprintf(stderr, "sync_call: %s failed: rc %u\n", call, rc);
  return kExitCallFailed;
}

/* Sends `data` to `program` and prints the reply. */
static int call(uint32_t conv, const char* program, const char* data) {
  ProcessRequest request;
  memset(&request, 0, sizeof request);
  request.ulConvId = conv;
  if (strlen(program) >= sizeof request.szPgmName) {
    fprintf(stderr, "sync_call: program name longer than %zu characters: %s\n",
            sizeof request.szPgmName - 1, program);
    return kExitUsage;
  }
  strcpy(request.szPgmName, program);
  request.pData = (void*)data;
  request.ulDataLen = (uint32_t)strlen(data);
  request.ulTimeout = kReplyWaitSeconds;

  ProcessReply reply;
  uint16_t rc = caProcessSync(&request, &reply);
  if (rc == VQZM_RC_TIMED_OUT) {
    /* A late reply would stay queued under the request's RID: nobody is
     * going to fetch it, so it is removed. */
    fprintf(stderr, "sync_call: no reply within %d s (RID %.11s)\n", kReplyWaitSeconds,
            reply.achRID);
    caClearData(reply.achRID);
    return kExitNoReply;
  }
  if (rc != VQZM_RC_OK) return call_failed("caProcessSync", rc);

  printf("reply: RID %.11s, value %u, %u bytes\n", reply.achRID, reply.ulValue, reply.ulDataLen);
  if (reply.pData != NULL) {
    fwrite(reply.pData, 1, reply.ulDataLen, stdout);
    putchar('\n');
    /* The reply's data is a block of ours. */
    zelFreeBlock(reply.pData);
  }
  return kExitOk;
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: sync_call SYSTEM PROGRAM [DATA]\n");
    return kExitUsage;
  }
  uint32_t conv = 0;
  uint16_t rc = caInitializeZELComm(argv[1], 0, 0, 0, &conv, 0);
  if (rc != VQZM_RC_OK) return call_failed("caInitializeZELComm", rc);
  int result = call(conv, argv[2], argc == 4 ? argv[3] : "");
  /* Every started conversation is stopped, also after a failure. */
  rc = caStopZELComm(conv);
  if (rc != VQZM_RC_OK && result == kExitOk) return call_failed("caStopZELComm", rc);
  return result;
}
