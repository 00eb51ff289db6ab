// Asynchronous requests: sent without waiting, their answers posted later to
// a window of the application by the manager; aborts, and RIDs published
// under a name. Each call runs in its caller's thread.
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

#include "api/api.h"
#include "api/wait_cursor.h"
#include "base/barrier.h"
#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/null_argument.h"
#include "dataqueue/dataqueue.h"
#include "hostlink/hostlink.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmca1")

// The blocks are the application's: their layout is fixed.
static_assert(sizeof(AsyncRequest) == 54 && offsetof(AsyncRequest, hwndNotify) == 48);

namespace zel::api {
namespace {

using ctrlblk::ListLock;
using ctrlblk::Serial;

constexpr std::chrono::seconds kPollInterval{1};

// Marks every outstanding request of the window aborted; false when it has
// none. Under the list's lock, so that no record is deleted and reused
// between the find and the mark.
bool AbortWindow(ZELHWND hwnd) {
  ListLock lock(Serial::kAsyncRetList);
  AsyncRetStruct* rec = ctrlblk::cbRetAsyncRetFromHwnd(hwnd);
  if (rec == nullptr) return false;
  for (; rec != nullptr; rec = ctrlblk::cbRetNextAsyncRetFromHwnd(hwnd, rec)) {
    rec->ulAborted = 1;
  }
  return true;
}

bool AbortRid(const char* pRID) {
  ListLock lock(Serial::kAsyncRetList);
  AsyncRetStruct* rec = ctrlblk::cbRetAsyncRetFromRid(pRID);
  if (rec == nullptr) return false;
  rec->ulAborted = 1;
  return true;
}

// Takes the RID published under the name into `pRID` and deletes the
// record, under the list's lock so that two callers never both get it.
bool TakeNamed(const char* pszName, char* pRID) {
  ListLock lock(Serial::kAsyncNamesList);
  NamedAsyncStruct* rec = cbRetNamedAsyncFromName(pszName);
  if (rec == nullptr) return false;
  memcpy(pRID, rec->achRID, ZEL_RID_LEN);
  cbDeleteNamedAsyncStruct(rec);
  return true;
}

}  // namespace
}  // namespace zel::api

using namespace zel::api;
namespace trace = zel::trace;

extern "C" {

uint16_t caProcessAsync(const AsyncRequest* pReq, char* pRID) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "caProcessAsync");
  if (ZEL_NULL_ARGUMENT("CA", pReq) || ZEL_NULL_ARGUMENT("CA", pRID) ||
      (pReq->ulDataLen != 0 && ZEL_NULL_ARGUMENT("CA", pReq->pData))) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  RZ700SysStruct* system = nullptr;
  uint16_t rc = ActiveSystemOf(pReq->ulConvId, &system);
  if (rc != 0) return rc;
  rc = zel::hostlink::ccObtainRZ700RRP(system);
  if (rc != 0 && ZEL_ERROR_POINT("OBTAIN_RRP_ERROR")) {
    trace::Rc("CA", -100, "error ccObtainRZ700RRP() rc ", rc);
    return rc;
  }
  zel::ctrlblk::cbCreateRID(system, 'A', pRID);
  AsyncRetStruct* rec = nullptr;
  rc = zel::ctrlblk::cbInitAsyncRetStruct(&rec);
  if (rc != 0 && ZEL_ERROR_POINT("INIT_ASYNC_RET_ERROR")) {
    trace::Rc("CA", -100, "error cbInitAsyncRetStruct() rc ", rc);
    return rc;
  }
  memcpy(rec->achRID, pRID, ZEL_RID_LEN);
  rec->hwndNotify = pReq->hwndNotify;
  rec->usNotifyMsg = pReq->usNotifyMsg;
  rec->ulConvId = pReq->ulConvId;
  // The record is listed first, so that no entry of the answer can come
  // before it; an answer without one would be dropped, and its window wait
  // for ever.
  if (!zel::ctrlblk::cbAddAsyncRetStruct(rec) && ZEL_ERROR_POINT("ADD_ASYNC_RET_ERROR")) {
    cbDeleteAsyncRetStruct(rec);  // never listed: freed as this process's own
    return VQZM_RC_INTERNAL_ERROR;
  }
  RequestToHost request{pReq->szPgmName, pReq->ulValue, pReq->ulDataVersion, pReq->pData,
                        pReq->ulDataLen};
  rc = SendToHost(system, request, pRID);
  if (rc != 0) {
    cbDeleteAsyncRetStruct(rec);
    return rc;
  }
  WatchManager();
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t caAbortProcessAsync(const char* pRID, uint32_t hwnd) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "caAbortProcessAsync");
  if (pRID == nullptr) {
    if (hwnd == 0 && ZEL_ERROR_POINT("EXT_RET_BAD_PARMS")) {
      trace::Msg("CA", -100, "NULL RID pointer");
      trace::Rc("CA", -100, "Invalid HWND parm ", hwnd);
      return VQZM_RC_NO_RID_OR_WINDOW;
    }
    if (!AbortWindow(hwnd) && ZEL_ERROR_POINT("EXT_RET_ASYNC_FROM_HWND")) {
      trace::Rc("CA", -100, "cbRetAsyncRetFromHwnd() error", hwnd);
      return VQZM_RC_NO_ASYNC_FOR_WINDOW;
    }
    return 0;
  }
  RZ700SysStruct* system = nullptr;
  if (cbFindRZ700SysByRID(pRID, &system) != 0 && ZEL_ERROR_POINT("EXT_FIND_SYS")) {
    trace::Msg("CA", -100, "cbFindRZ700SysByRID() error");
    return VQZM_RC_NOT_ACTIVE;
  }
  uint16_t state = system->usCommState;
  if (state != ZEL_COMM_ACTIVE && ZEL_ERROR_POINT("NOT_IN_RUNNING_STATE")) {
    trace::Msg("CA", -100, "System not in running state");
    trace::String("CA", -100, "System Name", system->szSysName);
    trace::Rc("CA", -100, "State", state);
    return VQZM_RC_NOT_ACTIVE;
  }
  if (!AbortRid(pRID) && ZEL_ERROR_POINT("EXT_RET_ASYNC_FROM_RID")) {
    trace::Msg("CA", -100, "cbRetAsyncRetFromRid() error");
    return VQZM_RC_NO_ASYNC_FOR_RID;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t caRtvNamedAsyncID(const char* pszName, int32_t lTimeout, char* pRID) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "vqzmRtvNamedAsyncID");
  if (ZEL_NULL_ARGUMENT("CA", pszName) || ZEL_NULL_ARGUMENT("CA", pRID)) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  WaitCursor cursor;
  bool forever = lTimeout == -1;
  int32_t attempts_left = lTimeout;
  bool found = TakeNamed(pszName, pRID);
  while (!found && (forever || attempts_left > 0)) {
    found = TakeNamed(pszName, pRID);
    if (found) break;
    std::this_thread::sleep_for(kPollInterval);
    if (!forever) --attempts_left;
  }
  if (!found && ZEL_ERROR_POINT("EXT_TIME_OUT")) {
    trace::Rc("CA", -100, "Timeout occurred waiting for named async ID Timeout parm=",
              static_cast<uint32_t>(lTimeout));
    return VQZM_RC_TIMED_OUT;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
