// System records: creation, the system list and its searches.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/list_ops.h"
#include "ctrlblk/null_argument.h"
#include "base/barrier.h"
#include "base/trace.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcb0")

namespace zel::ctrlblk {
namespace {

// Hands out the next system ID ("000" to "999", then "000" again). The
// system-list mutex makes the read and the advance one step, whichever
// process (an application or the CPMgr) creates the record.
bool TakeNextSysID(char* sys_id) {
  ListLock lock(Serial::kSysList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return false;
  ZELAnchorCB& anchor = Anchor();
  memcpy(sys_id, anchor.szNextSysID, 3);
  int next = (atoi(anchor.szNextSysID) + 1) % 1000;
  char text[8];
  snprintf(text, sizeof text, "%03d", next);
  memcpy(anchor.szNextSysID, text, 4);
  return true;
}

}  // namespace

void cbResetRZ700SysList() {
  ZEL_TRACE_FUNCTION("CM", "cbResetRZ700SysList");
  ListLock lock(Serial::kSysList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return;
  ZELAnchorCB& anchor = Anchor();
  RZ700SysStruct* rec = anchor.pSysList;
  anchor.pSysList = nullptr;
  while (rec != nullptr) {
    RZ700SysStruct* next = rec->pNext;
    cbFreeCtrlBlkMem(rec, sizeof *rec);
    rec = next;
  }
}

}  // namespace zel::ctrlblk

using namespace zel::ctrlblk;
namespace trace = zel::trace;

extern "C" {

uint16_t cbInitRZ700SysStruct(RZ700SysStruct** ppSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cbInitRZ700SysStruct");
  if (ZEL_NULL_ARGUMENT("CM", ppSystem)) return VQZM_RC_INTERNAL_ERROR;
  RZ700SysStruct* rec = nullptr;
  if (uint16_t rc = ZEL_INIT_RECORD(RZ700SysStruct, &rec, "CM"); rc != 0) return rc;
  memcpy(rec->achRIDSeq, "0000", 4);
  if (!TakeNextSysID(rec->szSysID)) return VQZM_RC_INTERNAL_ERROR;
  rec->usCommState = ZEL_COMM_STOPPED;
  rec->ulAddedByAPI = 0;
  rec->ulWaitingRC = 0;
  rec->pTermWndList = nullptr;
  rec->pNext = nullptr;
  rec->ulConvCount = 0;
  rec->ulDQErrPending = 0;
  *ppSystem = rec;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cbAddRZ700SysStruct(RZ700SysStruct* pSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cbAddRZ700SysStruct");
  if (ZEL_NULL_ARGUMENT("CM", pSystem)) return VQZM_RC_INTERNAL_ERROR;
  ListLock lock(Serial::kSysList);
  if (!lock.acquired() && ZEL_ERROR_POINT("REQ_SEM_ERROR")) {
    trace::SysRc("CM", -100, "RequestMutex(SysLst, ) rc =", lock.wait_result());
    return VQZM_RC_INTERNAL_ERROR;
  }
  PushFront(&Anchor().pSysList, pSystem);
  trace::String("CM", 100, "CB.ZELSysConvs ", pSystem->szSysName);
  if (!lock.Release() && ZEL_ERROR_POINT("RLS_SEM_ERROR")) {
    trace::Msg("CM", -100, "ReleaseMutex(SysLst) rc =");
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

// A null record clears the default.
uint16_t cbAddRZ700SysDefault(RZ700SysStruct* pSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cbAddRZ700SysDefault");
  Anchor().pDefaultSys = pSystem;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cbFindRZ700SysByName(const char* pszName, RZ700SysStruct** ppSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cbFindRZ700SysByName");
  if (ZEL_NULL_ARGUMENT("CM", pszName) || ZEL_NULL_ARGUMENT("CM", ppSystem)) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  *ppSystem = nullptr;
  ListLock lock(Serial::kSysList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return VQZM_RC_INTERNAL_ERROR;
  RZ700SysStruct* found = FindFrom(Anchor().pSysList, [pszName](RZ700SysStruct* rec) {
    return strcmp(rec->szSysName, pszName) == 0;
  });
  if (found == nullptr && ZEL_ERROR_POINT("NOT_FOUND_ERROR")) {
    trace::String("CM", -50, "system name not found =", pszName);
    return VQZM_RC_NO_SUCH_SYSTEM;
  }
  *ppSystem = found;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cbFindRZ700SysByRID(const char* pRID, RZ700SysStruct** ppSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cbFindRZ700SysByRID");
  if (ZEL_NULL_ARGUMENT("CM", pRID) || ZEL_NULL_ARGUMENT("CM", ppSystem)) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  *ppSystem = nullptr;
  const char* sys_id = pRID + 8;
  ListLock lock(Serial::kSysList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return VQZM_RC_INTERNAL_ERROR;
  RZ700SysStruct* found = FindFrom(Anchor().pSysList, [sys_id](RZ700SysStruct* rec) {
    return memcmp(rec->szSysID, sys_id, 3) == 0;
  });
  if (found == nullptr && ZEL_ERROR_POINT("NOT_FOUND_ERROR")) {
    trace::Dump("CM", -50, "RZ/700 system ID not found hex bytes =", sys_id, 3);
    return VQZM_RC_NO_SUCH_SYSTEM;
  }
  *ppSystem = found;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cbRemoveRZ700SysFromList(RZ700SysStruct* pSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cbRemoveRZ700SysFromList");
  if (ZEL_NULL_ARGUMENT("CM", pSystem)) return VQZM_RC_INTERNAL_ERROR;
  ListLock lock(Serial::kSysList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return VQZM_RC_INTERNAL_ERROR;
  ZELAnchorCB& anchor = Anchor();
  Unlink(&anchor.pSysList, pSystem);
  if (anchor.pDefaultSys == pSystem) anchor.pDefaultSys = nullptr;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cbDeleteRZ700SysStruct(RZ700SysStruct* pSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cbDeleteRZ700SysStruct");
  if (ZEL_NULL_ARGUMENT("CM", pSystem)) return VQZM_RC_INTERNAL_ERROR;
  ListLock lock(Serial::kSysList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return VQZM_RC_INTERNAL_ERROR;
  ZELAnchorCB& anchor = Anchor();
  if (anchor.pDefaultSys == pSystem) anchor.pDefaultSys = nullptr;
  UnlinkAndFree(&anchor.pSysList, pSystem);
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
