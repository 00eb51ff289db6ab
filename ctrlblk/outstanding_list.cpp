// The outstanding data-queue request list: requests handed over inside the
// CPMgr, tracked until both the requester and the processing side let go.
#include <array>
#include <cstring>

#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/heap.h"
#include "ctrlblk/list_ops.h"
#include "ctrlblk/object_names.h"
#include "platform/event.h"
#include "platform/handles.h"
#include "platform/module.h"
#include "platform/mutex.h"
#include "services/platform_calls.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmcb1")

using zel::services::Plat;

namespace zel::ctrlblk {
namespace {

using namespace zel::platform;

constexpr DWORD kMaxModuleName = 512;

void TraceFree(const char* text, void* block, uint32_t size) {
  trace::Rc("CB", 100, text, cbFreeCtrlBlkMem(block, size));
}

// The global copy of request or return data must outlive both holders, so
// it is not released here; the trace says whether there was one.
void TraceDataCopy(uint32_t data_length) {
  if (data_length != 0) trace::Rc("CB", 100, "DosFreeMem() rc=", 0);
}

}  // namespace

void FreeRequestBlock(uint16_t type, void* request_block) {
  switch (type) {
    case DQ_REQ_OBTAIN_RRP:
      TraceFree("cbFreeCtrlBlkMem(pObtainRZ700RRP) rc = ", request_block, sizeof(ObtainRRPCB));
      return;
    case DQ_REQ_SEND_REQUEST: {
      auto* block = static_cast<SendReqCB*>(request_block);
      TraceDataCopy(block->pDesc->ulDataLen);
      TraceFree("cbFreeCtrlBlkMem(pReqItem) rc = ", block->pDesc, sizeof(ReqBufferDesc));
      TraceFree("cbFreeCtrlBlkMem(pSendRequest) rc = ", block, sizeof *block);
      return;
    }
    case DQ_REQ_SEND_RETURN: {
      auto* block = static_cast<SendRetCB*>(request_block);
      TraceDataCopy(block->pDesc->ulDataLen);
      TraceFree("cbFreeCtrlBlkMem(pRetItem) rc = ", block->pDesc, sizeof(RetBufferDesc));
      TraceFree("cbFreeCtrlBlkMem(pSendReturn) rc = ", block, sizeof *block);
      return;
    }
    case DQ_REQ_RTV_DATA: {
      auto* block = static_cast<RtvDataCB*>(request_block);
      TraceFree("cbFreeCtrlBlkMem(pRetItem) rc = ", block->pDesc, sizeof(RtvDataDesc));
      TraceFree("cbFreeCtrlBlkMem(pRtvData) rc = ", block, sizeof *block);
      return;
    }
    default:
      return;
  }
}

namespace {

// Types 2 and 3 whose data was copied say so even while a holder remains.
void TraceHeldDataCopy(const OutstandingDQReqCB* rec) {
  if (rec->usReqType == DQ_REQ_SEND_REQUEST) {
    TraceDataCopy(static_cast<SendReqCB*>(rec->pReqCB)->pDesc->ulDataLen);
  } else if (rec->usReqType == DQ_REQ_SEND_RETURN) {
    TraceDataCopy(static_cast<SendRetCB*>(rec->pReqCB)->pDesc->ulDataLen);
  }
}

bool KnownType(uint16_t type) { return type >= DQ_REQ_OBTAIN_RRP && type <= DQ_REQ_RTV_DATA; }

}  // namespace

std::array<const void*, 2> RequestBlocks(const OutstandingDQReqCB* rec) {
  const void* block = rec->pReqCB;
  if (block == nullptr) return {};
  switch (rec->usReqType) {
    case DQ_REQ_SEND_REQUEST:
      return {block, static_cast<const SendReqCB*>(block)->pDesc};
    case DQ_REQ_SEND_RETURN:
      return {block, static_cast<const SendRetCB*>(block)->pDesc};
    case DQ_REQ_RTV_DATA:
      return {block, static_cast<const RtvDataCB*>(block)->pDesc};
    default:
      return {block, nullptr};
  }
}

uint16_t cbCheckWithinCPMgr(uint32_t* pulWithin) {
  ZEL_TRACE_FUNCTION("CB", "cbCheckWithinCPMgr");
  *pulWithin = 0;
  char path[kMaxModuleName + 1] = {};
  DWORD length = Plat().GetModuleFileName(0, path, sizeof path);
  if ((length == 0 || length > kMaxModuleName) && ZEL_ERROR_POINT("EXT_QUERY_MODULE_NAME")) {
    trace::Rc("CB", -100, "DosGetInfoBlocks error rc=", GetLastError());
    return VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  const char* slash = strrchr(path, '/');
  if (slash == nullptr && ZEL_ERROR_POINT("EXT_PARSE_MODULE_NAME")) {
    trace::Msg("CB", -100, "unable to parse \\ char");
    return VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  trace::String("CB", 100, "current module", slash + 1);
  *pulWithin = strcmp(slash + 1, kManagerProgramName) == 0 ? 1 : 0;
  return 0;
}

uint16_t cbInitOutstandingDQCB(OutstandingDQReqCB** ppRec) {
  ZEL_TRACE_FUNCTION("CB", "cbInitOutstandingDQCB");
  auto* rec = static_cast<OutstandingDQReqCB*>(cbAllocCtrlBlkMem(sizeof(OutstandingDQReqCB)));
  if (rec == nullptr && ZEL_ERROR_POINT("ALLOC_MEM_FAILURE")) {
    trace::Size("CB", -100, "Control Block allocation from Shared Memory heap failed size=",
                sizeof(OutstandingDQReqCB));
    return VQZM_RC_NO_MEMORY;
  }
  rec->ulReturned = 0;
  rec->pNext = nullptr;
  *ppRec = rec;
  return 0;
}

uint16_t cbCtrlOutstandingDQCBList() {
  ZEL_TRACE_FUNCTION("CB", "cbCtrlOutstandingDQCBList");
  DWORD wait = Plat().WaitForSingleObject(SerialHandle(Serial::kOutstandingDQList), INFINITE);
  if (wait == WAIT_FAILED && ZEL_ERROR_POINT("REQ_SEM_ERROR")) {
    trace::SysRc("CB", -100, "DosRequestMutexSem() rc=", wait);
    return VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  return 0;
}

uint16_t cbRelOutstandingDQCBList() {
  ZEL_TRACE_FUNCTION("CB", "cbRelOutstandingDQCBList");
  if (!Plat().ReleaseMutex(SerialHandle(Serial::kOutstandingDQList)) &&
      ZEL_ERROR_POINT("REL_SEM_ERROR")) {
    trace::SysRc("CB", -100, "ReleaseMutex() rc=", GetLastError());
    return VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  return 0;
}

uint32_t cdChkOutstandingListReturnedFromCPMgr() {
  ZEL_TRACE_FUNCTION("CB", "cdChkOutstandingListReturnedFromCPMgr");
  return FindFrom(Anchor().pOutstandingDQList,
                  [](OutstandingDQReqCB* rec) { return rec->ulReturned == 0; }) != nullptr
             ? 1
             : 0;
}

void cbAddOutstandingDQCB(OutstandingDQReqCB* pRec) {
  ZEL_TRACE_FUNCTION("CB", "cbAddOutstandingDQCB");
  if (cdChkOutstandingListReturnedFromCPMgr() == 0) {
    bool reset = Plat().ResetEvent(SerialHandle(Serial::kOutstandingClean));
    trace::Rc("CB", 100,
              "DosResetEventSem() OutstandingDQReqClean rc=", reset ? 0 : GetLastError());
  }
  PushFront(&Anchor().pOutstandingDQList, pRec);
  for (const void* block : RequestBlocks(pRec)) Publish(block);
}

void cbRemoveOutstandingDQCB(OutstandingDQReqCB* pRec) {
  ZEL_TRACE_FUNCTION("CB", "cbRemoveOutstandingDQCB");
  if (!Unlink(&Anchor().pOutstandingDQList, pRec) && ZEL_ERROR_POINT("EXT_NOT_FOUND")) {
    trace::Msg("CB", -50, "Pointer to OutstandingDQReq CB not found");
  }
}

uint32_t cbDeleteOutstandingDQCBAndLinkedMem(OutstandingDQReqCB* pRec) {
  ZEL_TRACE_FUNCTION("CB", "cbDeleteOutstandingDQCBAndLinkedMem");
  uint16_t rc = cbCtrlOutstandingDQCBList();
  if (rc != 0 && ZEL_ERROR_POINT("ERR_CTRL_OUTSTANDING_DQ_CB")) {
    trace::Rc("CB", -100, "cbCtrlOutstandingDQCBList() rc=", rc);
    return 0;
  }
  pRec->usUseCount = static_cast<uint16_t>(pRec->usUseCount - 1);
  trace::Rc("CB", 100, "Usage Count", pRec->usUseCount);
  uint32_t freed = 0;
  bool known = KnownType(pRec->usReqType);
  if (pRec->usUseCount == 0) {
    if (known) {
      MarkDeleting(pRec);
      for (const void* block : RequestBlocks(pRec)) MarkDeleting(block);
    }
    cbRemoveOutstandingDQCB(pRec);
    if (known) {
      FreeRequestBlock(pRec->usReqType, pRec->pReqCB);
      TraceFree("cbFreeCtrlBlkMem(pOutstanding) rc = ", pRec, sizeof *pRec);
      freed = 1;
    }
  } else if (known) {
    TraceHeldDataCopy(pRec);
  }
  if (!known && ZEL_ERROR_POINT("ERR_INVALID_REQ_TYPE")) {
    trace::Rc("CB", -100, "Invalid request type =", pRec->usReqType);
    trace::Rc("CB", -100, "cbRelOutstandingDQCBList() rc=", cbRelOutstandingDQCBList());
    return 0;
  }
  if (cdChkOutstandingListReturnedFromCPMgr() == 0) {
    bool pulsed = Plat().PulseEvent(SerialHandle(Serial::kOutstandingClean));
    trace::Rc("CB", 100, "PulseEvent() OutstandingDQReqClean rc=", pulsed ? 0 : GetLastError());
  }
  rc = cbRelOutstandingDQCBList();
  if (rc != 0 && ZEL_ERROR_POINT("ERR_REL_OUTSTANDING_DQ_CB")) {
    trace::Rc("CB", -100, "cbRelOutstandingDQCBList() rc=", rc);
  }
  return freed;
}

// A manager killed in the middle of hand-overs never deletes their records,
// and no thread of it holds them any more. Their records and request blocks
// go; the data copies were the dead manager's own memory.
uint32_t cbResetOutstandingDQList() {
  ZEL_TRACE_FUNCTION("CB", "cbResetOutstandingDQList");
  ListLock lock(Serial::kOutstandingDQList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return 0;
  uint32_t freed = 0;
  while (OutstandingDQReqCB* rec = Anchor().pOutstandingDQList) {
    cbRemoveOutstandingDQCB(rec);
    if (KnownType(rec->usReqType)) FreeRequestBlock(rec->usReqType, rec->pReqCB);
    TraceFree("cbFreeCtrlBlkMem(pOutstanding) rc = ", rec, sizeof *rec);
    ++freed;
  }
  return freed;
}

}  // namespace zel::ctrlblk
