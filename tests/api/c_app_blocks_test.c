/* A plain C application frees the blocks the component hands it, linking
 * the component and the platform library as pkg-config names them. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "zelapp.h"

static int failed(const char* what) {
  fprintf(stderr, "%s\n", what);
  return 1;
}

int main(void) {
  /* A reply as the retrieval places it: taken from the process heap into a
   * global block. */
  uint32_t length = 5;
  void* data = malloc(length);
  if (data == NULL) return failed("no memory");
  memcpy(data, "reply", length);
  void* block = data;
  if (cdConvRcvdDataBuffer(1, 0, &length, &block) != VQZM_RC_OK || block == NULL) {
    return failed("no block was placed");
  }
  if (zelBlockSize(block) != 5 || memcmp(block, "reply", 5) != 0) {
    return failed("the block does not hold the reply");
  }
  if (zelFreeBlock(block) != VQZM_RC_OK) return failed("the block was not freed");
  if (zelFreeBlock(block) != VQZM_RC_INTERNAL_ERROR || zelBlockSize(block) != 0) {
    return failed("a block freed twice was taken for a live one");
  }
  if (zelFreeBlock(NULL) != VQZM_RC_OK) return failed("a null block is nothing to free");
  puts("1 passed, 0 failed");
  return 0;
}
