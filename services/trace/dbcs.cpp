// The double-byte test of the language environment.
#include "services/config.h"
#include "services/trace.h"

ZEL_MODULE("vqzmbdw")

extern "C" uint16_t bdIsDBCS(void) {
  return zel::config::IsDoubleByteCodePage(zel::config::PcCodePage()) ? 1 : 0;
}
