// The host-request, named-async, 3rd-party and terminate-window lists.
#include <cstdlib>
#include <cstring>

#include "base/barrier.h"
#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/list_ops.h"
#include "ctrlblk/null_argument.h"
#include "ctrlblk/process_state.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmcb1")

namespace zel::ctrlblk {
namespace {

template <class Rec>
void DeleteRecord(Serial list, void* head_field, Rec* rec, const char* not_found) {
  ListLock lock(list);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return;
  if (!UnlinkAndFree(head_field, rec) && ZEL_ERROR_POINT("EXT_NOT_FOUND")) {
    trace::Msg("CB", -50, not_found);
  }
}

template <class Rec>
void AddRecord(Serial list, void* head_field, Rec* rec) {
  ListLock lock(list);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return;
  PushFront(head_field, rec);
}

template <class Rec>
Rec* NextRecord(Serial list, void* head_field, Rec* rec) {
  ListLock lock(list);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return nullptr;
  return rec == nullptr ? LoadLink<Rec>(head_field) : rec->pNext;
}

constexpr uint16_t kTermAtTail = 1;

}  // namespace

uint16_t cbInitRZ700ReqStruct(RZ700ReqStruct** ppRec) {
  ZEL_TRACE_FUNCTION("CB", "cbInitRZ700ReqStruct");
  if (uint16_t rc = ZEL_INIT_RECORD(RZ700ReqStruct, ppRec, "CB"); rc != 0) return rc;
  (*ppRec)->pData = nullptr;
  (*ppRec)->pNext = nullptr;
  return 0;
}

void cbAddRZ700ReqStruct(RZ700ReqStruct* pRec) {
  ZEL_TRACE_FUNCTION("CB", "cbAddRZ700ReqStruct");
  AddRecord(Serial::kRZ700ReqList, &Anchor().pRZ700ReqList, pRec);
}

RZ700ReqStruct* cbRetRZ700ReqFromRid(const char* pRID) {
  ZEL_TRACE_FUNCTION("CB", "cbRetRZ700ReqFromRid");
  trace::Dump("CB", 100, "RID Searching for", pRID, ZEL_RID_LEN);
  ListLock lock(Serial::kRZ700ReqList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return nullptr;
  return FindFrom(Anchor().pRZ700ReqList, [pRID](RZ700ReqStruct* rec) {
    trace::Dump("CB", 100, "CB RID", rec->achRID, ZEL_RID_LEN);
    return memcmp(rec->achRID, pRID, ZEL_RID_LEN) == 0;
  });
}

// A request still being assembled when the manager ends (a read that failed
// between its entries) is never completed: its record goes with the
// manager. Its buffer is the manager's own; another process resetting after
// the manager died drops the pointer.
void cbResetRZ700ReqList() {
  ZEL_TRACE_FUNCTION("CB", "cbResetRZ700ReqList");
  ListLock lock(Serial::kRZ700ReqList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return;
  RZ700ReqStruct* rec = Anchor().pRZ700ReqList;
  Anchor().pRZ700ReqList = nullptr;
  while (rec != nullptr) {
    RZ700ReqStruct* next = rec->pNext;
    if (ThisProcess().is_manager) free(rec->pData);
    cbFreeCtrlBlkMem(rec, sizeof *rec);
    rec = next;
  }
}

void cbDeleteRZ700ReqStruct(RZ700ReqStruct* pRec) {
  ZEL_TRACE_FUNCTION("CB", "cbDeleteRZ700ReqStruct");
  DeleteRecord(Serial::kRZ700ReqList, &Anchor().pRZ700ReqList, pRec,
               "Pointer to RZ700Req not found");
}

uint16_t cbInitTermWndStruct(TermWndStruct** ppRec) {
  ZEL_TRACE_FUNCTION("CB", "cbInitTermWndStruct");
  if (uint16_t rc = ZEL_INIT_RECORD(TermWndStruct, ppRec, "CB"); rc != 0) return rc;
  (*ppRec)->pNext = nullptr;
  return 0;
}

// Type 1 windows are told last, in the order they registered; types 2 and 3
// come first, newest first.
uint16_t cbAddTermWndStruct(RZ700SysStruct* pSystem, TermWndStruct* pRec, uint16_t usTermType) {
  ZEL_TRACE_FUNCTION("CB", "cbAddTermWndStruct");
  if (usTermType < 1 || usTermType > 3) {
    trace::Rc("CB", -100, "Unsupported TermType", usTermType);
    return VQZM_RC_INTERNAL_ERROR;
  }
  ListLock lock(Serial::kAsyncWndsList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return VQZM_RC_INTERNAL_ERROR;
  if (usTermType != kTermAtTail || pSystem->pTermWndList == nullptr) {
    PushFront(&pSystem->pTermWndList, pRec);
    return 0;
  }
  TermWndStruct* last = pSystem->pTermWndList;
  while (last->pNext != nullptr) last = last->pNext;
  pRec->pNext = nullptr;
  last->pNext = pRec;
  Publish(pRec);
  return 0;
}

TermWndStruct* cbRetTermWndFromPgmID(RZ700SysStruct* pSystem, const char* pszPgmID) {
  ZEL_TRACE_FUNCTION("CB", "cbRetTermWndFromPgmID");
  if (pSystem == nullptr) return nullptr;
  ListLock lock(Serial::kAsyncWndsList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return nullptr;
  return FindFrom(pSystem->pTermWndList,
                  [pszPgmID](TermWndStruct* rec) { return strcmp(rec->szPgmID, pszPgmID) == 0; });
}

}  // namespace zel::ctrlblk

using namespace zel::ctrlblk;
namespace trace = zel::trace;

extern "C" {

uint16_t cbInitNamedAsyncStruct(NamedAsyncStruct** ppRec) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbInitNamedAsyncStruct");
  if (ZEL_NULL_ARGUMENT("CB", ppRec)) return VQZM_RC_INTERNAL_ERROR;
  if (uint16_t rc = ZEL_INIT_RECORD(NamedAsyncStruct, ppRec, "CB"); rc != 0) return rc;
  (*ppRec)->pNext = nullptr;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

void cbAddNamedAsyncStruct(NamedAsyncStruct* pRec) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbAddNamedAsyncStruct");
  if (ZEL_NULL_ARGUMENT("CB", pRec)) return;
  AddRecord(Serial::kAsyncNamesList, &Anchor().pNamedAsyncList, pRec);
} catch (...) {
  ZEL_C_REPORT();
}

NamedAsyncStruct* cbRetNamedAsyncFromName(const char* pszName) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbRetNamedAsyncFromName");
  if (ZEL_NULL_ARGUMENT("CB", pszName)) return nullptr;
  trace::String("CB", 100, "Name Searching for", pszName);
  ListLock lock(Serial::kAsyncNamesList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return nullptr;
  return FindFrom(Anchor().pNamedAsyncList, [pszName](NamedAsyncStruct* rec) {
    trace::String("CB", 100, "Name Searching for", rec->szName);
    return strcmp(rec->szName, pszName) == 0;
  });
} catch (...) {
  return ZEL_C_FAILURE(nullptr, nullptr);
}

// A null record asks for the head of the list.
NamedAsyncStruct* cbRetNextNamedAsync(NamedAsyncStruct* pRec) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbRetNextNamedAsync");
  return NextRecord(Serial::kAsyncNamesList, &Anchor().pNamedAsyncList, pRec);
} catch (...) {
  return ZEL_C_FAILURE(nullptr, nullptr);
}

void cbDeleteNamedAsyncStruct(NamedAsyncStruct* pRec) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbDeleteNamedAsyncStruct");
  if (ZEL_NULL_ARGUMENT("CB", pRec)) return;
  DeleteRecord(Serial::kAsyncNamesList, &Anchor().pNamedAsyncList, pRec,
               "Pointer to NamedAsync not found");
} catch (...) {
  ZEL_C_REPORT();
}

uint16_t cbInit3rdPartyStruct(ThirdPartyStruct** ppRec) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbInit3rdPartyStruct");
  if (ZEL_NULL_ARGUMENT("CB", ppRec)) return VQZM_RC_INTERNAL_ERROR;
  if (uint16_t rc = ZEL_INIT_RECORD(ThirdPartyStruct, ppRec, "CB"); rc != 0) return rc;
  (*ppRec)->pNext = nullptr;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

void cbAdd3rdPartyStruct(ThirdPartyStruct* pRec) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbAdd3rdPartyStruct");
  if (ZEL_NULL_ARGUMENT("CB", pRec)) return;
  AddRecord(Serial::kPartyList, &Anchor().p3rdPartyList, pRec);
} catch (...) {
  ZEL_C_REPORT();
}

ThirdPartyStruct* cbRet3rdPartyFromPgmID(const char* pszPgmID) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbRet3rdPartyFromPgmID");
  if (ZEL_NULL_ARGUMENT("CB", pszPgmID)) return nullptr;
  trace::String("CB", 100, "PgmID searching for", pszPgmID);
  ListLock lock(Serial::kPartyList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return nullptr;
  return FindFrom(Anchor().p3rdPartyList, [pszPgmID](ThirdPartyStruct* rec) {
    trace::String("CB", 100, "CB szPgmID", rec->szPgmID);
    return strcmp(rec->szPgmID, pszPgmID) == 0;
  });
} catch (...) {
  return ZEL_C_FAILURE(nullptr, nullptr);
}

// A null record asks for the head of the list.
ThirdPartyStruct* cbRetNext3rdPartyStruct(ThirdPartyStruct* pRec) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbRetNext3rdPartyStruct");
  return NextRecord(Serial::kPartyList, &Anchor().p3rdPartyList, pRec);
} catch (...) {
  return ZEL_C_FAILURE(nullptr, nullptr);
}

void cbDelete3rdPartyStruct(ThirdPartyStruct* pRec) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbDelete3rdPartyStruct");
  if (ZEL_NULL_ARGUMENT("CB", pRec)) return;
  DeleteRecord(Serial::kPartyList, &Anchor().p3rdPartyList, pRec, "Pointer to 3rdParty not found");
} catch (...) {
  ZEL_C_REPORT();
}

// A null record asks for the head of the system's list.
TermWndStruct* cbRetNextTermWndStruct(RZ700SysStruct* pSystem, TermWndStruct* pRec) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbRetNextTermWndStruct");
  if (pSystem == nullptr &&
      RefuseNullArgument("EXT_INVALID_SYS", "CB", "pSystem", __LINE__, kZelModule)) {
    trace::Msg("CB", -100, "NULL pSystem pointer");
    return nullptr;
  }
  return NextRecord(Serial::kAsyncWndsList, &pSystem->pTermWndList, pRec);
} catch (...) {
  return ZEL_C_FAILURE(nullptr, nullptr);
}

void cbDeleteTermWndStruct(RZ700SysStruct* pSystem, TermWndStruct* pRec) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbDeleteTermWndStruct");
  if (ZEL_NULL_ARGUMENT("CB", pSystem) || ZEL_NULL_ARGUMENT("CB", pRec)) return;
  DeleteRecord(Serial::kAsyncWndsList, &pSystem->pTermWndList, pRec,
               "Pointer to TermWnd not found");
} catch (...) {
  ZEL_C_REPORT();
}

}  // extern "C"
