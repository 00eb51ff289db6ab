/* The public headers compile as plain C and an application links the
 * component alone: a conversation ID that was never issued is refused. */
#include <stdio.h>

#include "vqzmcb.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

int main(void) {
  uint16_t rc = caStopZELComm(4242);
  if (rc != VQZM_RC_CONV_NOT_ACTIVE) {
    fprintf(stderr, "caStopZELComm(4242) gave %u, expected %u\n", rc, VQZM_RC_CONV_NOT_ACTIVE);
    return 1;
  }
  if (GetZELAnchorCB() == NULL || cbReturnCPMgrState() != ZEL_CPMGR_NOT_RUNNING) {
    fprintf(stderr, "the control blocks are not set up\n");
    return 1;
  }
  puts("1 passed, 0 failed");
  return 0;
}
