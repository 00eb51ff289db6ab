// The application's side of global memory (include/zelapp.h): the blocks
// the component hands over are global blocks, freed in the process that
// receives them.
#include "platform/globalmem.h"
#include "zelapp.h"

extern "C" {

uint16_t zelFreeBlock(void* pBlock) noexcept {
  if (pBlock == nullptr) return VQZM_RC_OK;
  return zel::platform::GlobalFree(pBlock) == nullptr ? VQZM_RC_OK : VQZM_RC_INTERNAL_ERROR;
}

void* zelAllocBlock(size_t bytes) noexcept {
  using namespace zel::platform;
  return GlobalAlloc(GPTR, bytes == 0 ? 1 : bytes);
}

size_t zelBlockSize(const void* pBlock) noexcept {
  if (pBlock == nullptr) return 0;
  return zel::platform::GlobalSize(const_cast<void*>(pBlock));
}

}  // extern "C"
