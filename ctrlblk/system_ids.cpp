// System list walks, request identifiers (RID, PRID) and the blank-padded
// names the host uses.
#include <cstdio>
#include <cstring>

#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/list_ops.h"
#include "ctrlblk/null_argument.h"
#include "base/barrier.h"
#include "base/trace.h"

ZEL_MODULE("Vqzmcb1")

namespace zel::ctrlblk {
namespace {

// Reads up to four leading decimal digits.
int SequenceValue(const char* digits) {
  int value = 0;
  for (int i = 0; i < 4 && digits[i] >= '0' && digits[i] <= '9'; ++i) {
    value = value * 10 + (digits[i] - '0');
  }
  return value;
}

// Returns the RID sequence as it stood and advances it ("0000" to "9999",
// then "0000"). Threads of several processes build RIDs for one system at
// once; the system-list mutex makes the read and the advance one step, so
// every call gets a sequence value of its own.
bool TakeRIDSequence(RZ700SysStruct* pSystem, char* sequence) {
  ListLock lock(Serial::kSysList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return false;
  memcpy(sequence, pSystem->achRIDSeq, 4);
  char text[8];
  snprintf(text, sizeof text, "%04d", (SequenceValue(sequence) + 1) % 10000);
  memcpy(pSystem->achRIDSeq, text, 4);
  return true;
}

}  // namespace

void cbCreateRID(RZ700SysStruct* pSystem, uint8_t bType, char* pRID) {
  ZEL_TRACE_FUNCTION("CB", "cbCreateRID");
  char sequence[4];
  if (!TakeRIDSequence(pSystem, sequence)) memcpy(sequence, pSystem->achRIDSeq, 4);
  pRID[0] = static_cast<char>(bType);
  memcpy(pRID + 1, sequence, 4);
  memcpy(pRID + 5, pSystem->achPWSSysID, 3);
  memcpy(pRID + 8, pSystem->szSysID, 3);
  trace::Dump("CB", 100, "RID", pRID, ZEL_RID_LEN);
}

void cbCreatePRID(uint8_t bType, const char* pRID, char* pPRID) {
  ZEL_TRACE_FUNCTION("CB", "cbCreatePRID");
  pPRID[0] = static_cast<char>(bType);
  memcpy(pPRID + 1, pRID, ZEL_RID_LEN);
  trace::Dump("CB", 100, "RID", pRID, ZEL_RID_LEN);
}

// A string longer than the width is cut to the width: the host field has
// no room for more.
void cbBlankPad(char* psz, uint32_t uiLen) {
  ZEL_TRACE_FUNCTION("CB", "cbBlankPad");
  size_t length = strlen(psz);
  if (length == uiLen) {
    ZEL_ERROR_POINT("DONE");
    return;
  }
  if (length < uiLen) memset(psz + length, ' ', uiLen - length);
  psz[uiLen] = '\0';
}

}  // namespace zel::ctrlblk

using namespace zel::ctrlblk;

extern "C" {

// A null record asks for the head of the list.
RZ700SysStruct* cbRetNextRZ700SysStruct(RZ700SysStruct* pSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbRetNextRZ700SysStruct");
  ListLock lock(Serial::kSysList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return nullptr;
  return pSystem == nullptr ? Anchor().pSysList : pSystem->pNext;
} catch (...) {
  return ZEL_C_FAILURE(nullptr, nullptr);
}

RZ700SysStruct* cbRetDefaultRZ700SysStruct(void) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbRetDefaultRZ700SysStruct");
  return Anchor().pDefaultSys;
} catch (...) {
  return ZEL_C_FAILURE(nullptr, nullptr);
}

int32_t cbFindBlank(const char* pch, int32_t iLen) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbFindBlank");
  if (ZEL_NULL_ARGUMENT("CB", pch)) return -1;
  for (int32_t i = 0; i < iLen; ++i) {
    if (pch[i] == ' ') return i;
  }
  return -1;
} catch (...) {
  return ZEL_C_FAILURE(-1, -1);
}

}  // extern "C"
