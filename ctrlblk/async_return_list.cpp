// The async-return list, and the resets of the lists at a control-block
// reset.
#include <cstdlib>
#include <cstring>

#include "base/barrier.h"
#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/list_ops.h"
#include "ctrlblk/null_argument.h"
#include "ctrlblk/process_state.h"

ZEL_MODULE("vqzmcb0")

namespace zel::ctrlblk {

// Records in state 41 hold the converted answer that could not be posted.
constexpr uint16_t kPostFailed = 41;
constexpr uint16_t kAwaitingAnswer = 40;

uint16_t cbInitAsyncRetStruct(AsyncRetStruct** ppRec) {
  ZEL_TRACE_FUNCTION("CM", "cbInitAsyncRetStruct");
  if (uint16_t rc = ZEL_INIT_RECORD(AsyncRetStruct, ppRec, "CM"); rc != 0) return rc;
  AsyncRetStruct* rec = *ppRec;
  rec->pData = nullptr;
  rec->ulAborted = 0;
  rec->pNext = nullptr;
  rec->usPostState = kAwaitingAnswer;
  return 0;
}

bool cbAddAsyncRetStruct(AsyncRetStruct* pRec) {
  ZEL_TRACE_FUNCTION("CM", "cbAddAsyncRetStruct");
  ListLock lock(Serial::kAsyncRetList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return false;
  PushFront(&Anchor().pAsyncRetList, pRec);
  return true;
}

AsyncRetStruct* cbRetAsyncRetFromRid(const char* pRID) {
  ZEL_TRACE_FUNCTION("CM", "cbRetAsyncRetFromRid");
  trace::Dump("CM", 100, "RID Searching for in hex", pRID, ZEL_RID_LEN);
  ListLock lock(Serial::kAsyncRetList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return nullptr;
  return FindFrom(Anchor().pAsyncRetList, [pRID](AsyncRetStruct* rec) {
    trace::Dump("CM", 100, "CB RID in hex", rec->achRID, ZEL_RID_LEN);
    return memcmp(rec->achRID, pRID, ZEL_RID_LEN) == 0;
  });
}

AsyncRetStruct* cbRetAsyncRetFromHwnd(ZELHWND hwnd) {
  ZEL_TRACE_FUNCTION("CM", "cbRetAsyncRetFromHwnd");
  ListLock lock(Serial::kAsyncRetList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return nullptr;
  return FindFrom(Anchor().pAsyncRetList,
                  [hwnd](AsyncRetStruct* rec) { return rec->hwndNotify == hwnd; });
}

AsyncRetStruct* cbRetNextAsyncRetFromHwnd(ZELHWND hwnd, AsyncRetStruct* pRec) {
  ZEL_TRACE_FUNCTION("CM", "cbRetNextAsyncRetFromHwnd");
  if (pRec == nullptr) return nullptr;
  ListLock lock(Serial::kAsyncRetList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return nullptr;
  return FindFrom(pRec->pNext, [hwnd](AsyncRetStruct* rec) { return rec->hwndNotify == hwnd; });
}

void cbResetAsyncRetList() {
  ZEL_TRACE_FUNCTION("CM", "cbResetAsyncRetList");
  ListLock lock(Serial::kAsyncRetList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return;
  ZELAnchorCB& anchor = Anchor();
  AsyncRetStruct* rec = anchor.pAsyncRetList;
  anchor.pAsyncRetList = nullptr;
  while (rec != nullptr) {
    AsyncRetStruct* next = rec->pNext;
    if (rec->ulTotalLen != 0) {
      trace::Rc("CM", 100, "Async Post Msg State", rec->usPostState);
      // A posted-state record holds a global block that the reset leaves
      // alone. A reassembly buffer comes from the manager's own heap: any
      // other process resetting after the manager died drops the pointer.
      if (rec->usPostState != kPostFailed && ThisProcess().is_manager) free(rec->pData);
    }
    cbFreeCtrlBlkMem(rec, sizeof *rec);
    rec = next;
  }
}

// These records stay in their lists across a control-block reset.
void cbReset3rdPartyList() { ZEL_TRACE_FUNCTION("CM", "cbReset3rdPartyList"); }
void cbResetAsyncWndsList() { ZEL_TRACE_FUNCTION("CM", "cbResetAsyncWndsList"); }
void cbResetAsyncNamesList() { ZEL_TRACE_FUNCTION("CM", "cbResetAsyncNamesList"); }

}  // namespace zel::ctrlblk

using namespace zel::ctrlblk;

extern "C" void cbDeleteAsyncRetStruct(AsyncRetStruct* pRec) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cbDeleteAsyncRetStruct");
  if (ZEL_NULL_ARGUMENT("CM", pRec)) return;
  ListLock lock(Serial::kAsyncRetList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return;
  if (!UnlinkAndFree(&Anchor().pAsyncRetList, pRec) && ZEL_ERROR_POINT("NOT_FOUND")) {
    zel::trace::Msg("CM", -50, "Pointer to AsyncRetStruct not found");
  }
} catch (...) {
  ZEL_C_REPORT();
}
