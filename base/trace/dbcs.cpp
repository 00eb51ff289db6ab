// The double-byte test of the language environment.
#include "base/config.h"
#include "base/trace.h"

ZEL_MODULE("vqzmbdw")

// A barrier (base/barrier.h): on any failure the answer is "single-byte".
extern "C" uint16_t bdIsDBCS(void) noexcept try {
  return zel::config::IsDoubleByteCodePage(zel::config::PcCodePage()) ? 1 : 0;
} catch (...) {
  return 0;
}
