/*
 * A PC program that serves requests that host programs start towards the
 * PWS (README, "Serving host requests"). It answers each request with its
 * own data and value.
 *
 *   pc_program                      started per request by the request
 *                                   processor ("program NAME /path/to/pc_program"
 *                                   in the connection configuration): serves
 *                                   the request named by ZEL_REQUEST_RID
 *   pc_program --register NAME [N]  stays running: registers its window for
 *                                   NAME and serves N requests (default: until
 *                                   none comes for 60 s)
 *
 * Exit code 0 when every request taken was answered.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vqzmcsw.h"
#include "vqzmctw.h"
#include "zelapp.h"

#define REQUEST_MESSAGE 0x500u
#define DATA_WAIT_SECONDS 30u
#define IDLE_MILLIS 60000u

/* Fetches the data of the request `rid` and sends it back with `value`. */
static int Serve(const char* rid, uint32_t value) {
  RtvDataParms rtv = {0, rid, DATA_WAIT_SECONDS};
  RtvDataResult data;
  uint16_t rc = caRtvData(&rtv, &data);
  if (rc != 0) {
    fprintf(stderr, "pc_program: caRtvData %.11s: %u\n", rid, rc);
    return 1;
  }
  ReturnDataParms ret = {0, rid, value, data.ulDataVersion, data.pData, data.ulDataLen};
  rc = caReturnData(&ret, NULL, 0);
  zelFreeBlock(data.pData);
  if (rc != 0) {
    fprintf(stderr, "pc_program: caReturnData %.11s: %u\n", rid, rc);
    return 1;
  }
  return 0;
}

static int ServeStarted(void) {
  const char* rid = getenv("ZEL_REQUEST_RID");
  const char* value = getenv("ZEL_REQUEST_VALUE");
  if (rid == NULL || strlen(rid) != ZEL_RID_LEN) {
    fprintf(stderr, "pc_program: no request (ZEL_REQUEST_RID) to serve\n");
    return 2;
  }
  return Serve(rid, value != NULL ? (uint32_t)strtoul(value, NULL, 10) : 0);
}

static int ServeRegistered(const char* name, long count) {
  uint32_t hwnd = 0;
  uint16_t rc = zelCreateWindow(&hwnd);
  if (rc == 0) rc = crRegisterProgram(name, hwnd, REQUEST_MESSAGE);
  if (rc != 0) {
    fprintf(stderr, "pc_program: cannot register %s: %u\n", name, rc);
    if (hwnd != 0) zelDestroyWindow(hwnd);
    return 2;
  }
  int failed = 0;
  long served = 0;
  ZelMessage msg;
  while ((count <= 0 || served < count) && zelWaitMessage(hwnd, IDLE_MILLIS, &msg) == 0) {
    if (msg.message != REQUEST_MESSAGE) continue;
    CrRequestBlock* request = (CrRequestBlock*)msg.lParam;
    char rid[ZEL_RID_LEN + 1];
    memcpy(rid, request->achRID, ZEL_RID_LEN);
    rid[ZEL_RID_LEN] = '\0';
    uint32_t value = request->ulValue;
    zelFreeBlock(request);
    failed |= Serve(rid, value);
    ++served;
  }
  crUnregisterProgram(name);
  zelDestroyWindow(hwnd);
  printf("pc_program: served %ld request(s) for %s\n", served, name);
  return failed;
}

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "--register") == 0) {
    return ServeRegistered(argv[2], argc >= 4 ? strtol(argv[3], NULL, 10) : 0);
  }
  if (argc != 1) {
    fprintf(stderr, "usage: pc_program [--register NAME [COUNT]]\n");
    return 2;
  }
  return ServeStarted();
}
